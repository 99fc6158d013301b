"""The tulm package's own entry points into the kernel library."""
