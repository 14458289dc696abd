"""Local voice server for tests, benchmarks and demos."""
