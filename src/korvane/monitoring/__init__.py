"""Monitoring: running counter statistics."""
