// resource_fork
