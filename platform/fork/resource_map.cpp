// Resource maps
