"""Code shared by the tests and the benchmarks: synthetic markets, the NumPy/pandas
reference formulations, a fake data-service client and comparison helpers."""
