"""One module per command, each with `add_parser(commands)`, which adds the
command's parser to the `sonorik` parser's subcommands, and `run(args)`, which
runs it and returns the exit status; `series` adds --series to analyze's
parser instead (`add_options`), and main runs it for `analyze --series`. No
command imports another."""
