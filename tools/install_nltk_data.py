"""Install the NLTK data the library reads, for offline use.

    python tools/install_nltk_data.py <venv>/nltk_data --wheel DIR_OR_WHEEL [--corpora DIR]

nltk searches <sys.prefix>/nltk_data on its own, so installing there needs no
NLTK_DATA and no change to nltk.data.path. Four resources, each in nltk's own
layout and each from a real distribution of the data, never trained or edited:

  tokenizers/punkt_tab  Punkt models (18 languages) and
  corpora/stopwords     stop-word lists (34 languages), both as NLTK publishes
                        them, from the llama-index-core wheel, which ships
                        them under llama_index/core/_static/nltk_cache. The
                        wheel is only read, never installed: the caller
                        fetches it with
                        pip download --no-deps --only-binary=:all: -d DIR llama-index-core==VERSION
  stemmers/rslp         RSLP stemmer rules, from rslp.zip as nltk's data server
                        publishes it (tools/fetch_corpora.py gathers it).
  corpora/wordnet       Princeton WordNet 3.0 from Debian's wordnet-base and
                        wordnet-sense-index (/usr/share/wordnet), plus the
                        "lexnames" file they lack, written from WordNet's
                        documented table of lexicographer files.

Nothing here touches the network. A resource whose installed files still
match the recorded manifest and source is left alone, so a second run takes a
fraction of a second; a source that is not given is not needed then.
Each resource is built beside its final place and renamed in, so an
interrupted run never leaves a half-written resource that looks installed.
Exit status 1 with a one-line reason on any failure.
"""

from __future__ import annotations

import argparse
import base64
import hashlib
import json
import os
import re
import shutil
import stat
import sys
import tempfile
import zipfile
from pathlib import Path, PurePosixPath

HERE = Path(__file__).resolve().parent
# Where set-up gathers rslp.zip (tools/fetch_corpora.py: a local mirror when
# there is one, else nltk's own downloader), so a plain clone finds it too.
DEFAULT_CORPORA = HERE.parent / "build" / "corpora"
DEFAULT_WORDNET_DIR = Path("/usr/share/wordnet")
STAMP_NAME = ".install_nltk_data.json"

WHEEL_GLOB = "llama_index_core-*.whl"
WHEEL_DATA_ROOT = "llama_index/core/_static/nltk_cache/"

# nltk 3.10 refuses to read data that another account owns or that is group or
# world writable, so modes are set explicitly rather than left to the umask.
DIR_MODE = 0o755
FILE_MODE = 0o644

# The languages the library tokenizes and filters; a source missing one of
# them is refused rather than installed.
LANGUAGES = ("english", "spanish", "portuguese")
PUNKT_FILES = ("abbrev_types.txt", "collocations.tab", "ortho_context.tab", "sent_starters.txt")

# What nltk's WordNetCorpusReader opens (its _FILES less "lexnames", which is
# written here). Since nltk 3.10 the reader maps sense keys at load time, so
# index.sense is needed for wordnet to load at all, not only for lemma_from_key.
WORDNET_FILES = (
    "cntlist.rev",
    "index.sense",
    "index.adj", "index.adv", "index.noun", "index.verb",
    "data.adj", "data.adv", "data.noun", "data.verb",
    "adj.exc", "adv.exc", "noun.exc", "verb.exc",
)
WORDNET_APT = "wordnet-base wordnet-sense-index"

# WordNet 3.0's lexicographer files in file-number order, as listed in
# lexnames(5WN). The Princeton "dict" directory ships this as the file
# "lexnames"; Debian's packages do not, and nltk reads it to name lexfiles.
LEXNAMES = (
    "adj.all", "adj.pert", "adv.all", "noun.Tops", "noun.act", "noun.animal",
    "noun.artifact", "noun.attribute", "noun.body", "noun.cognition",
    "noun.communication", "noun.event", "noun.feeling", "noun.food",
    "noun.group", "noun.location", "noun.motive", "noun.object", "noun.person",
    "noun.phenomenon", "noun.plant", "noun.possession", "noun.process",
    "noun.quantity", "noun.relation", "noun.shape", "noun.state",
    "noun.substance", "noun.time", "verb.body", "verb.change",
    "verb.cognition", "verb.communication", "verb.competition",
    "verb.consumption", "verb.contact", "verb.creation", "verb.emotion",
    "verb.motion", "verb.perception", "verb.possession", "verb.social",
    "verb.stative", "verb.weather", "adj.ppl",
)
# Syntactic category numbers of the lexnames format, by file-name prefix and
# by the ss_type letter of a synset in the data files.
CATEGORY_BY_PREFIX = {"noun": 1, "verb": 2, "adj": 3, "adv": 4}
CATEGORY_BY_SS_TYPE = {"n": 1, "v": 2, "a": 3, "s": 3, "r": 4}


class InstallError(Exception):
    """A failure the caller can act on; the message says what to do."""


# --------------------------------------------------------------------------
# Writing files nltk will trust


def make_dir(path: Path) -> None:
    path.mkdir(parents=True, exist_ok=True)
    os.chmod(path, DIR_MODE)


def write_file(path: Path, data: bytes) -> None:
    make_dir(path.parent)
    path.write_bytes(data)
    os.chmod(path, FILE_MODE)


def check_private_dir(path: Path) -> None:
    """nltk would refuse everything under a directory others can write to."""
    st = path.stat()
    if st.st_uid not in (os.geteuid(), 0) or st.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        raise InstallError(
            f"{path} is writable by, or owned by, another account "
            f"(mode {stat.S_IMODE(st.st_mode):04o}, uid {st.st_uid}); nltk would refuse "
            f"to read data under it: run 'chmod go-w {path}' or choose another target"
        )


def manifest_of(root: Path) -> dict[str, int]:
    return {
        p.relative_to(root).as_posix(): p.stat().st_size
        for p in sorted(root.rglob("*"))
        if p.is_file()
    }


def manifest_holds(root: Path, manifest: dict[str, int]) -> bool:
    for rel, size in manifest.items():
        try:
            st = (root / rel).stat()
        except OSError:
            return False
        if st.st_size != size or st.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
            return False
    return bool(manifest)


# --------------------------------------------------------------------------
# Sources


def safe_member(name: str, prefix: str) -> str | None:
    """The path of zip member *name* below *prefix*, or None when it is not
    below it; refuses names that would escape the destination."""
    if not name.startswith(prefix) or name.endswith("/"):
        return None
    rel = PurePosixPath(name[len(prefix):])
    if rel.is_absolute() or ".." in rel.parts or not rel.parts:
        raise InstallError(f"refusing zip member with unsafe path: {name!r}")
    return rel.as_posix()


class Wheel:
    """The llama-index-core wheel, read as a zip and checked against its RECORD."""

    def __init__(self, path: Path):
        self.path = path
        try:
            self.zip = zipfile.ZipFile(path)
        except (OSError, zipfile.BadZipFile) as exc:
            raise InstallError(f"cannot read wheel {path}: {exc}") from exc
        records = [n for n in self.zip.namelist() if n.endswith(".dist-info/RECORD")]
        if len(records) != 1:
            raise InstallError(f"{path} is not a wheel: no single .dist-info/RECORD")
        self.hashes: dict[str, str] = {}
        for line in self.zip.read(records[0]).decode("utf-8").splitlines():
            fields = line.rsplit(",", 2)
            if len(fields) == 3 and fields[1].startswith("sha256="):
                self.hashes[fields[0]] = fields[1][len("sha256="):]

    def members(self, prefix: str) -> dict[str, str]:
        """{relative path: member name} of the files below *prefix*."""
        found = {}
        for name in self.zip.namelist():
            rel = safe_member(name, prefix)
            if rel is not None:
                found[rel] = name
        return found

    def source_id(self, prefix: str) -> str:
        """Names the content, not the wheel version: a new llama-index-core
        release carrying identical data does not cause a reinstall."""
        digest = hashlib.sha256()
        for rel, name in sorted(self.members(prefix).items()):
            digest.update(f"{rel}\0{self.hashes.get(name, '')}\n".encode())
        return "wheel-record-sha256:" + digest.hexdigest()

    def read_verified(self, name: str) -> bytes:
        data = self.zip.read(name)
        expected = self.hashes.get(name)
        actual = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        if expected != actual:
            raise InstallError(f"{self.path}: {name} does not match the wheel's RECORD")
        return data


def find_wheel(arg: Path) -> Path:
    if arg.is_dir():
        wheels = sorted(arg.glob(WHEEL_GLOB))
        if len(wheels) != 1:
            raise InstallError(
                f"expected one {WHEEL_GLOB} in {arg}, found {len(wheels)}: "
                "fetch it with pip download --no-deps --only-binary=:all: "
                f"-d {arg} llama-index-core==<pinned version>"
            )
        return wheels[0]
    if not arg.is_file():
        raise InstallError(f"no wheel at {arg}")
    return arg


def file_sha256(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


# --------------------------------------------------------------------------
# Resources: each knows where it goes, what identifies its source, how to
# build itself into an empty directory, and which files must be there.


class Resource:
    name = ""
    dest = ""  # relative to the target, in nltk's layout
    required: tuple[str, ...] = ()

    def source_id(self) -> str | None:
        """None when the source was not given (only fine if installed)."""
        raise NotImplementedError

    def missing_source(self) -> str:
        raise NotImplementedError

    def build(self, into: Path) -> str:
        """Write the resource into the empty directory *into*; return a note."""
        raise NotImplementedError


class WheelResource(Resource):
    def __init__(self, name: str, dest: str, required: tuple[str, ...], wheel: Wheel | None):
        self.name, self.dest, self.required, self.wheel = name, dest, required, wheel
        self.prefix = WHEEL_DATA_ROOT + dest + "/"

    def source_id(self):
        return None if self.wheel is None else self.wheel.source_id(self.prefix)

    def missing_source(self):
        return (
            "pass --wheel with the llama-index-core wheel "
            "(a file, or the directory pip download wrote it to)"
        )

    def build(self, into):
        members = self.wheel.members(self.prefix)
        if not members:
            raise InstallError(f"{self.wheel.path} has no {self.prefix}")
        for rel, name in members.items():
            write_file(into / rel, self.wheel.read_verified(name))
        return f"{len(members)} files from {self.wheel.path.name}"


class RslpResource(Resource):
    name = "rslp"
    dest = "stemmers/rslp"
    required = tuple(f"step{i}.pt" for i in range(7))

    def __init__(self, corpora: Path):
        self.zip_path = corpora / "rslp.zip"

    def source_id(self):
        return "sha256:" + file_sha256(self.zip_path) if self.zip_path.is_file() else None

    def missing_source(self):
        return (f"{self.zip_path} not found: pass --corpora with the folder "
                "tools/fetch_corpora.py filled")

    def build(self, into):
        try:
            with zipfile.ZipFile(self.zip_path) as zf:
                count = 0
                for name in zf.namelist():
                    rel = safe_member(name, "rslp/")
                    if rel is not None:
                        write_file(into / rel, zf.read(name))
                        count += 1
        except (OSError, zipfile.BadZipFile) as exc:
            raise InstallError(f"cannot read {self.zip_path}: {exc}") from exc
        return f"{count} files from {self.zip_path}"


class WordnetResource(Resource):
    name = "wordnet"
    dest = "corpora/wordnet"
    required = WORDNET_FILES + ("lexnames",)

    def __init__(self, source_dir: Path):
        self.source_dir = source_dir

    def source_id(self):
        # Debian's files are large and change only with the package, so their
        # sizes and times stand for their content.
        parts = []
        for name in WORDNET_FILES:
            try:
                st = (self.source_dir / name).stat()
            except OSError:
                return None
            parts.append(f"{name}:{st.st_size}:{st.st_mtime_ns}")
        return "debian:" + hashlib.sha256("\n".join(parts).encode()).hexdigest()

    def missing_source(self):
        missing = [n for n in WORDNET_FILES if not (self.source_dir / n).is_file()]
        return (
            f"{self.source_dir} lacks {', '.join(missing)}: "
            f"apt-get install --no-install-recommends {WORDNET_APT}"
        )

    def build(self, into):
        data_adj = (self.source_dir / "data.adj").read_bytes()[:4096]
        if not re.search(rb"WordNet 3\.0 Copyright", data_adj):
            raise InstallError(
                f"{self.source_dir} is not WordNet 3.0, the version nltk's 'wordnet' names"
            )
        for name in WORDNET_FILES:
            shutil.copyfile(self.source_dir / name, into / name)
            os.chmod(into / name, FILE_MODE)
        check_lexnames(into)
        lines = "".join(
            f"{i:02d}\t{name}\t{CATEGORY_BY_PREFIX[name.split('.')[0]]}\n"
            for i, name in enumerate(LEXNAMES)
        )
        write_file(into / "lexnames", lines.encode("ascii"))
        return f"{len(WORDNET_FILES)} files from {self.source_dir}, lexnames written"


def check_lexnames(wordnet_dir: Path) -> None:
    """Every synset's lexicographer file must exist in LEXNAMES and be of the
    synset's part of speech: a wrong table would mislabel lexnames silently."""
    for pos in ("adj", "adv", "noun", "verb"):
        with open(wordnet_dir / f"data.{pos}", "rb") as fh:
            for line in fh:
                if line.startswith(b" "):  # the licence header
                    continue
                fields = line.split(None, 3)
                lexfile, ss_type = int(fields[1]), fields[2].decode()
                if lexfile >= len(LEXNAMES) or CATEGORY_BY_PREFIX[
                    LEXNAMES[lexfile].split(".")[0]
                ] != CATEGORY_BY_SS_TYPE[ss_type]:
                    raise InstallError(
                        f"data.{pos}: synset {fields[0].decode()} names lexicographer file "
                        f"{lexfile}, which does not fit WordNet 3.0's lexnames table"
                    )


# --------------------------------------------------------------------------
# Installing


def read_stamp(target: Path) -> dict:
    try:
        return json.loads((target / STAMP_NAME).read_text("utf-8"))
    except (OSError, ValueError):
        return {}


def write_stamp(target: Path, stamp: dict) -> None:
    fd, tmp = tempfile.mkstemp(dir=target, prefix=STAMP_NAME + ".")
    with os.fdopen(fd, "w", encoding="utf-8") as fh:
        json.dump(stamp, fh, indent=1, sort_keys=True)
    os.chmod(tmp, FILE_MODE)
    os.replace(tmp, target / STAMP_NAME)


def install(resource: Resource, target: Path, stamp: dict, force: bool) -> str:
    dest = target / resource.dest
    recorded = stamp.get(resource.name, {})
    source_id = resource.source_id()
    installed = dest.is_dir() and manifest_holds(dest, recorded.get("files", {}))
    if installed and not force and source_id in (None, recorded.get("source")):
        return "up to date"
    if source_id is None:
        state = "--force given" if installed else "missing or incomplete"
        raise InstallError(
            f"{resource.name}: {state}, and its source was not found: {resource.missing_source()}"
        )

    parent = dest.parent
    for d in [*reversed(parent.relative_to(target).parents), parent.relative_to(target)]:
        path = target / d
        if path.is_dir():
            check_private_dir(path)
        else:
            make_dir(path)
    # Leftovers of an interrupted run carry our prefix; nothing else does.
    for stale in parent.glob(f".{dest.name}.*"):
        shutil.rmtree(stale, ignore_errors=True)
    staging = Path(tempfile.mkdtemp(dir=parent, prefix=f".{dest.name}.new-"))
    try:
        os.chmod(staging, DIR_MODE)
        note = resource.build(staging)
        missing = [f for f in resource.required if not (staging / f).is_file()]
        if missing:
            raise InstallError(f"{resource.name}: source lacks {', '.join(missing)}")
        files = manifest_of(staging)
        if dest.exists():
            old = Path(tempfile.mkdtemp(dir=parent, prefix=f".{dest.name}.old-"))
            os.rename(dest, old / "x")
            try:
                os.rename(staging, dest)
            except OSError:
                os.rename(old / "x", dest)
                raise
            shutil.rmtree(old)
        else:
            os.rename(staging, dest)
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    stamp[resource.name] = {"source": source_id, "files": files}
    write_stamp(target, stamp)
    return "installed: " + note


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Install NLTK data (punkt_tab, stopwords, rslp, wordnet) into TARGET.",
    )
    parser.add_argument("target", type=Path, help="data directory, e.g. <venv>/nltk_data")
    parser.add_argument(
        "--wheel", type=Path,
        help="llama-index-core wheel, or the directory holding it "
        "(needed unless punkt_tab and stopwords are installed)",
    )
    parser.add_argument(
        "--shared", type=Path,
        help="a shared/ directory holding corpora/rslp.zip, instead of --corpora",
    )
    parser.add_argument(
        "--corpora", type=Path,
        help=f"the folder holding rslp.zip (default: {DEFAULT_CORPORA})",
    )
    parser.add_argument(
        "--wordnet-dir", type=Path, default=DEFAULT_WORDNET_DIR,
        help=f"WordNet 3.0 database files (default: {DEFAULT_WORDNET_DIR}, from apt {WORDNET_APT})",
    )
    parser.add_argument("--force", action="store_true", help="reinstall even what is up to date")
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    target = args.target.absolute()
    try:
        wheel = Wheel(find_wheel(args.wheel)) if args.wheel else None
        lang_files = tuple(f"{lang}/{f}" for lang in LANGUAGES for f in PUNKT_FILES)
        resources = [
            WheelResource("punkt_tab", "tokenizers/punkt_tab", lang_files, wheel),
            WheelResource("stopwords", "corpora/stopwords", LANGUAGES, wheel),
            RslpResource(args.corpora or (args.shared / "corpora" if args.shared else DEFAULT_CORPORA)),
            WordnetResource(args.wordnet_dir),
        ]
        if target.is_dir():
            check_private_dir(target)
        else:
            make_dir(target)
        stamp = read_stamp(target)
        for resource in resources:
            print(f"{resource.name}: {install(resource, target, stamp, args.force)}")
    except InstallError as exc:
        print(f"install_nltk_data: error: {exc}", file=sys.stderr)
        return 1
    except OSError as exc:
        print(f"install_nltk_data: error: {exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
