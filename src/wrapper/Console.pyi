"""The command-line program `wrapper`: index a folder, search the index."""

from collections.abc import Iterable, Sequence

# Runs the command line (argv defaults to sys.argv[1:]) and returns the exit
# status: 0 done, 1 a failure (reported on one line), 130 interrupted.
def main(argv: Sequence[str] | None = None) -> int: ...

# The local search site of `wrapper serve` as a WSGI application over the
# index at `base`; `root` is the folder the index was built from when the
# index does not record it; `follow_every` the seconds between looks at
# whether the index changed (0: at every request; the command uses 1).
class _Site:
    def __init__(
        self,
        base: str,
        root: str | None = None,
        allowed_hosts: Iterable[str] = (),
        follow_every: float = 0.0,
    ) -> None: ...
    def __call__(self, environ: dict[str, object], start_response: object) -> Iterable[bytes]: ...

# A template in the search site's language filled with `values` (str, int,
# bool, lists of dicts), `partials` naming the templates {{>name}} includes.
# Raises ValueError for a fault in the template or a name without a value.
def _fill_template(
    source: str, values: dict[str, object], partials: dict[str, str] = {}
) -> str: ...
