// zorp_plugin
