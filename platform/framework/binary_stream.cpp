// binary_stream
