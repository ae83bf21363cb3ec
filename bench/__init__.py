"""setup.exe's start-up time beside the floor, NSIS and a batch file (make bench: bench.run)."""
