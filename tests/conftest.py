"""Fixtures shared by the test modules: the public corpora beside the repo."""

import pathlib
import zipfile

import pytest

SHARED = pathlib.Path(__file__).resolve().parents[1].parent / "shared"
CORPORA = SHARED / "corpora"


def corpus_zip(name: str) -> pathlib.Path:
    path = CORPORA / name
    if not path.is_file():
        raise FileNotFoundError(f"public corpus {path} is missing; it is expected beside the repo")
    return path


@pytest.fixture(scope="session")
def udhr():
    """UDHR texts by language code: eng, spa, por (Brazil), fra, deu."""
    files = {"eng": "eng.txt", "spa": "spa.txt", "por": "por_BR.txt", "fra": "fra.txt", "deu": "deu.txt"}
    with zipfile.ZipFile(corpus_zip("udhr2.zip")) as z:
        return {code: z.read(f"udhr2/{name}").decode("utf-8") for code, name in files.items()}


def paragraphs(text: str, count: int, min_len: int = 200) -> list[str]:
    """The first `count` paragraph-sized chunks of a UDHR text."""
    out, buf = [], []
    for line in text.splitlines():
        line = line.strip()
        if not line:
            continue
        buf.append(line)
        if sum(map(len, buf)) >= min_len:
            out.append(" ".join(buf))
            buf = []
        if len(out) == count:
            break
    return out
