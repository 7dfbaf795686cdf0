"""The command-line program `wrapper`: index a folder, search the index."""

from collections.abc import Sequence

# Runs the command line (argv defaults to sys.argv[1:]) and returns the exit
# status: 0 done, 1 a failure (reported on one line), 130 interrupted.
def main(argv: Sequence[str] | None = None) -> int: ...
