"""Documents, engines and model persistence."""
