"""The Wine harness: a private prefix, the stand-in installer and the runner that starts
setup.exe and reports what happened. Shared by the tests, the demo and the benchmark."""
