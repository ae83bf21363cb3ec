"""The checks of setup.exe, run as modules from the repository's root (tests/README.md).

A regular package, not a namespace one, so that no other package named `tests` on the path
can take its place."""
