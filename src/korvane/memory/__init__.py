"""Memory layer: lock-free primitives, the free-block index and the slab engine."""
