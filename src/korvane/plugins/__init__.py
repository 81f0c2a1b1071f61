"""Framework plug-ins."""
