"""A local stand-in for the Ryvo ingest service, for tests, the demo and benchmarks."""
