"""Languages, text extraction, text cleaning and enrichment."""
