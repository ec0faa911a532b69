"""Quarvel: read, query, edit and write IDF building-energy model files."""

__version__ = "0.1.0"
