"""Helpers of the benchmarks in the folder above; none of them is a benchmark itself."""
