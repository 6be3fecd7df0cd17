// atomic_file
