"""The test suite (a package, so that ``tests.support`` is importable by the benchmarks)."""
