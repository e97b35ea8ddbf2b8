"""The `sonorik` command: loudness analysis, normalisation and file
information from a shell, on top of the `sonorik` extension module. The
entry point is `sonorik_cli.main.main`."""
