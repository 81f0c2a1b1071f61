"""Scoring and decision arithmetic of the workload analyzer and the orchestrator."""
