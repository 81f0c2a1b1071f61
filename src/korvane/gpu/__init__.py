"""GPU layer: backend registry and allocation planning."""
