"""Gather the public corpora set-up builds from into one folder.

    python tools/fetch_corpora.py DEST [--mirror DIR] [--index-url URL]

Two corpora are no registry's package: the RSLP stemmer rules (nltk id
"rslp") and the CoNLL-2002 named-entity corpus ("conll2002"). Each ends up
as DEST/<id>.zip, in the layout nltk's data server publishes, from the first
of these that has it:

  1. a mirror folder given with --mirror or $WRAPPER_CORPORA (an error when a
     given mirror lacks it);
  2. a mirror folder found beside the repository (../shared/corpora);
  3. DEST itself, from an earlier run (no network needed then);
  4. nltk's own downloader, from nltk's data index, or from --index-url /
     $NLTK_DOWNLOAD_URL (nltk's own variable) when given. The file is
     checked against the size and MD5 sum the index gives.

One line per corpus on standard error says which it used. Needs nltk only
for the download. Exit status 1 with a one-line reason on failure.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import shutil
import socket
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
# Where a work area keeps its shared files, beside the repository.
FOUND_MIRRORS = [HERE.parents[1] / "shared" / "corpora"]
# nltk id -> the subdirectory nltk's index files it under.
CORPORA = {"rslp": "stemmers", "conll2002": "corpora"}
# A stalled server must not hold set-up for ever.
NETWORK_TIMEOUT = 60


class Failure(Exception):
    pass


def digest(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


def place(source: Path, dest: Path) -> None:
    """Copies source to dest unless the same bytes are there; atomically."""
    if dest.is_file() and digest(dest) == digest(source):
        return
    fd, tmp = tempfile.mkstemp(dir=dest.parent, prefix=f".{dest.name}.")
    os.close(fd)
    try:
        shutil.copyfile(source, tmp)
        os.chmod(tmp, 0o644)
        os.replace(tmp, dest)
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)


def download(ident: str, dest: Path, index_url: str | None) -> str:
    from nltk.downloader import Downloader

    downloader = Downloader(server_index_url=index_url)
    with tempfile.TemporaryDirectory(dir=dest.parent, prefix=".download-") as tmp:
        try:
            info = downloader.info(ident)
            with open(os.devnull, "w") as quiet:
                downloader.download(ident, download_dir=tmp, quiet=True, raise_on_error=True,
                                    print_error_to=quiet)
        except (OSError, ValueError) as exc:
            raise Failure(f"{ident}: nltk's downloader failed ({downloader.url}): "
                          f"{str(exc).strip().splitlines()[-1]}") from exc
        # The downloader writes what it receives; the index's size and MD5 sum
        # are what it uses to tell a good copy from a stale one.
        if downloader.status(info, tmp) != Downloader.INSTALLED:
            raise Failure(f"{ident}: the file from {info.url} does not match the size and "
                          f"checksum in {downloader.url}")
        place(Path(tmp) / info.filename, dest)
    return f"downloaded with nltk's downloader from {info.url}"


def fetch(ident: str, dest_dir: Path, mirror: Path | None = None,
          index_url: str | None = None) -> tuple[Path, str]:
    """DEST_DIR/<ident>.zip from the first place that has it (the order
    above), and a line saying which."""
    dest_dir.mkdir(parents=True, exist_ok=True)
    dest = dest_dir / f"{ident}.zip"
    if mirror is not None:
        source = mirror / f"{ident}.zip"
        if not source.is_file():
            raise Failure(f"{ident}: the mirror {mirror} has no {source.name}")
        place(source, dest)
        return dest, f"{ident}: from the mirror {mirror}"
    found = next((m / f"{ident}.zip" for m in FOUND_MIRRORS
                  if (m / f"{ident}.zip").is_file()), None)
    if found is not None:
        place(found, dest)
        return dest, f"{ident}: from the mirror found at {found.parent}"
    if dest.is_file():
        return dest, f"{ident}: from {dest}, fetched earlier"
    return dest, f"{ident}: {download(ident, dest, index_url)}"


def gather(dest_dir: Path, mirror: Path | None, index_url: str | None) -> list[str]:
    return [fetch(ident, dest_dir, mirror, index_url)[1] for ident in CORPORA]


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("dest", type=Path, help="folder that receives rslp.zip and conll2002.zip")
    ap.add_argument("--mirror", type=Path, default=os.environ.get("WRAPPER_CORPORA") or None,
                    help="a folder holding rslp.zip and conll2002.zip (default $WRAPPER_CORPORA)")
    ap.add_argument("--index-url", default=os.environ.get("NLTK_DOWNLOAD_URL") or None,
                    help="nltk data index to download from (default: nltk's own)")
    args = ap.parse_args(argv)
    timeout = socket.getdefaulttimeout()
    socket.setdefaulttimeout(NETWORK_TIMEOUT)
    try:
        for note in gather(args.dest.absolute(), args.mirror, args.index_url):
            print(note, file=sys.stderr)
    except (Failure, OSError) as exc:
        print(f"fetch_corpora: {exc}", file=sys.stderr)
        return 1
    finally:
        socket.setdefaulttimeout(timeout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
