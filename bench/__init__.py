"""Benchmarks; run them from the repository root as ``python -m bench.<name>``."""
