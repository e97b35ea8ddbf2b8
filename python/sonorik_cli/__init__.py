"""The `sonorik` command: loudness analysis, normalisation, file information
and loudness graphs from a shell, on top of the `sonorik_meter` extension
module. The entry point is `sonorik_cli.main.main`; each command is a module
of `sonorik_cli.commands`, sharing `files` (finding audio files), `jobs`
(threads and progress), `reports` (the report writer), `terminal` (what is
printed, the exit statuses) and `interrupts` (SIGTERM as an interrupt)."""
