"""Set-up's two roads to the corpora no registry carries: a mirror folder, and
nltk's own downloader, here pointed at a local double of nltk's data server."""

import functools
import hashlib
import pathlib
import shutil
import sys
import threading
import zipfile
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
import fetch_corpora  # noqa: E402


def corpus(path, ident, files):
    """A zip in the layout nltk's server publishes: one folder named after the id."""
    path.parent.mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(path, "w") as z:
        z.writestr(f"{ident}/", "")
        for name, text in files.items():
            z.writestr(f"{ident}/{name}", text)
    return path


@pytest.fixture
def zips(tmp_path):
    src = tmp_path / "src"
    return {
        "rslp": corpus(src / "rslp.zip", "rslp", {f"step{i}.pt": f"rules {i}\n" for i in range(7)}),
        "conll2002": corpus(src / "conll2002.zip", "conll2002",
                            {"esp.train": "El DA O\nRey B-PER\n", "esp.testa": "", "esp.testb": ""}),
    }


class QuietHandler(SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


class Server:
    """nltk's data server in miniature: index.xml and the package files."""

    def __init__(self, root, zips, damage=None):
        entries = []
        for ident, source in zips.items():
            subdir = fetch_corpora.CORPORA[ident]
            target = root / "packages" / subdir / source.name
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy(source, target)
            data = source.read_bytes()
            with zipfile.ZipFile(source) as z:
                unzipped = sum(i.file_size for i in z.infolist())
            entries.append(
                f'<package id="{ident}" subdir="{subdir}" unzip="1" size="{len(data)}" '
                f'unzipped_size="{unzipped}" checksum="{hashlib.md5(data).hexdigest()}" '
                f'url="URL/packages/{subdir}/{source.name}"/>')
            if ident == damage:
                target.write_bytes(data[:-1] + bytes([data[-1] ^ 1]))
        handler = functools.partial(QuietHandler, directory=str(root))
        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), handler)
        base = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        (root / "index.xml").write_text(
            "<?xml version='1.0'?>\n<nltk_data><packages>"
            + "".join(e.replace("URL", base) for e in entries)
            + "</packages><collections/></nltk_data>\n")
        self.index = f"{base}/index.xml"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join()


@pytest.fixture
def no_mirror_found(monkeypatch):
    monkeypatch.setattr(fetch_corpora, "FOUND_MIRRORS", [])
    monkeypatch.delenv("WRAPPER_CORPORA", raising=False)
    # The named-entity sets have tests of their own, below.
    monkeypatch.setattr(fetch_corpora, "NER_TRAINING", {})


def run(capsys, *argv):
    status = fetch_corpora.main([str(a) for a in argv])
    return status, capsys.readouterr().err.splitlines()


def test_downloader_road_then_the_earlier_download(tmp_path, zips, capsys, no_mirror_found):
    server = Server(tmp_path / "www", zips)
    dest = tmp_path / "corpora"
    try:
        status, notes = run(capsys, dest, "--index-url", server.index)
    finally:
        server.stop()
    assert status == 0
    base = server.index.rsplit("/", 1)[0]
    assert notes == [f"{ident}: downloaded with nltk's downloader from "
                     f"{base}/packages/{fetch_corpora.CORPORA[ident]}/{ident}.zip"
                     for ident in zips]
    assert sorted(p.name for p in dest.iterdir()) == ["conll2002.zip", "rslp.zip"]
    for ident, source in zips.items():
        assert (dest / f"{ident}.zip").read_bytes() == source.read_bytes()

    # The server is gone: what was fetched before is used, with no network.
    status, notes = run(capsys, dest, "--index-url", server.index)
    assert status == 0
    assert notes == [f"{ident}: from {dest / (ident + '.zip')}, fetched earlier" for ident in zips]


def test_a_damaged_download_is_refused(tmp_path, zips, capsys, no_mirror_found):
    server = Server(tmp_path / "www", zips, damage="rslp")
    try:
        status, notes = run(capsys, tmp_path / "corpora", "--index-url", server.index)
    finally:
        server.stop()
    assert status == 1
    assert notes[-1].startswith("fetch_corpora: rslp: the file from http://127.0.0.1:")
    assert notes[-1].endswith(f"does not match the size and checksum in {server.index}")
    assert list((tmp_path / "corpora").iterdir()) == []


def test_mirror_road(tmp_path, zips, capsys, monkeypatch, no_mirror_found):
    mirror = zips["rslp"].parent
    dest = tmp_path / "corpora"
    # Given (here by the environment): used even when a download was possible.
    monkeypatch.setenv("WRAPPER_CORPORA", str(mirror))
    status, notes = run(capsys, dest, "--index-url", "http://127.0.0.1:9/index.xml")
    assert status == 0
    assert notes == [f"{ident}: from the mirror {mirror}" for ident in zips]
    for ident, source in zips.items():
        assert (dest / f"{ident}.zip").read_bytes() == source.read_bytes()

    # Found beside the repository; a newer file there replaces the copy.
    monkeypatch.delenv("WRAPPER_CORPORA")
    monkeypatch.setattr(fetch_corpora, "FOUND_MIRRORS", [tmp_path / "absent", mirror])
    corpus(zips["rslp"], "rslp", {f"step{i}.pt": "newer\n" for i in range(7)})
    status, notes = run(capsys, dest)
    assert status == 0
    assert notes == [f"{ident}: from the mirror found at {mirror}" for ident in zips]
    assert (dest / "rslp.zip").read_bytes() == zips["rslp"].read_bytes()

    # A given mirror must hold both: no silent fall-back to the network.
    zips["conll2002"].unlink()
    status, notes = run(capsys, tmp_path / "other", "--mirror", mirror)
    assert status == 1
    assert notes == [f"fetch_corpora: conll2002: the mirror {mirror} has no conll2002.zip"]


# --- the named-entity sets: files at fixed addresses, known by their digest ---

def sha(data):
    return hashlib.sha256(data).hexdigest()


@pytest.fixture
def ner_sets(tmp_path, monkeypatch):
    """Two small sets served over HTTP on this machine, as their public
    addresses would serve them; no mirror is found beside the repository."""
    www = tmp_path / "www-ner"
    files = {("set-a", "train.conll"): b"Lisboa B-LOC\n", ("set-a", "dev.conll"): b"Ana B-PER\n",
             ("set-b", "all.iob2"): b"1\tRio\tB-LOC\n"}
    for (name, file), data in files.items():
        (www / name).mkdir(parents=True, exist_ok=True)
        (www / name / file).write_bytes(data)
    handler = functools.partial(QuietHandler, directory=str(www))
    httpd = ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    base = f"http://127.0.0.1:{httpd.server_address[1]}"
    sets = {}
    for (name, file), data in files.items():
        sets.setdefault(name, {})[file] = (f"{base}/{name}/{file}", sha(data))
    monkeypatch.setattr(fetch_corpora, "NER_TRAINING", sets)
    monkeypatch.setattr(fetch_corpora, "CORPORA", {})
    monkeypatch.setattr(fetch_corpora, "FOUND_NER_MIRRORS", [])
    monkeypatch.delenv("WRAPPER_NER", raising=False)
    yield www, files, base
    httpd.shutdown()
    httpd.server_close()
    thread.join()


def test_ner_sets_from_their_addresses_then_from_the_earlier_copy(tmp_path, ner_sets, capsys):
    www, files, base = ner_sets
    dest = tmp_path / "corpora"
    status, notes = run(capsys, dest)
    assert status == 0, notes
    assert notes == [f"{name}: downloaded from {base}/{name}/" for name in ("set-a", "set-b")]
    for (name, file), data in files.items():
        assert (dest / "ner" / name / file).read_bytes() == data

    # Served no more: the copies are used. A copy damaged since is fetched
    # again, and a file that changed at its address is refused.
    shutil.rmtree(www / "set-b")
    (dest / "ner" / "set-a" / "dev.conll").write_bytes(b"damaged")
    (www / "set-a" / "dev.conll").write_bytes(b"Ana B-ORG\n")
    status, notes = run(capsys, dest)
    assert status == 1
    assert notes == [f"fetch_corpora: dev.conll: the file from {base}/set-a/dev.conll is not "
                     f"the one expected (SHA-256 {sha(files[('set-a', 'dev.conll')])[:12]}...)"]
    assert (dest / "ner" / "set-a" / "dev.conll").read_bytes() == b"damaged"
    assert sorted(p.name for p in (dest / "ner" / "set-a").iterdir()) == ["dev.conll", "train.conll"]
    (www / "set-a" / "dev.conll").write_bytes(files[("set-a", "dev.conll")])
    status, notes = run(capsys, dest)
    assert status == 0
    assert notes == [f"set-a: downloaded from {base}/set-a/; from {dest / 'ner' / 'set-a'}, "
                     "fetched earlier", f"set-b: from {dest / 'ner' / 'set-b'}, fetched earlier"]


def test_ner_sets_from_a_mirror(tmp_path, ner_sets, capsys, monkeypatch):
    www, files, base = ner_sets
    dest = tmp_path / "corpora"
    # Found beside the repository: taken when its file is the one expected,
    # else the next road serves.
    monkeypatch.setattr(fetch_corpora, "FOUND_NER_MIRRORS", [www])
    (www / "set-b" / "all.iob2").write_bytes(b"changed")
    status, notes = run(capsys, dest)
    assert status == 1
    assert notes == [f"fetch_corpora: all.iob2: the file from {base}/set-b/all.iob2 is not the "
                     f"one expected (SHA-256 {sha(files[('set-b', 'all.iob2')])[:12]}...)"]
    (www / "set-b" / "all.iob2").write_bytes(files[("set-b", "all.iob2")])
    status, notes = run(capsys, dest)
    assert status == 0
    assert notes == [f"set-a: from the mirror found at {www}",
                     f"set-b: from the mirror found at {www}"]

    # Given (here by the environment): used even when the address serves;
    # it must hold every file, each the one expected.
    mirror = tmp_path / "mirror"
    shutil.copytree(www, mirror)
    monkeypatch.setenv("WRAPPER_NER", str(mirror))
    status, notes = run(capsys, tmp_path / "other")
    assert status == 0
    assert notes == [f"{name}: from the mirror {mirror}" for name in ("set-a", "set-b")]
    (mirror / "set-b" / "all.iob2").unlink()
    status, notes = run(capsys, tmp_path / "third")
    assert status == 1
    assert notes == [f"fetch_corpora: set-b: the mirror {mirror} has no set-b/all.iob2"]
    (mirror / "set-b" / "all.iob2").write_bytes(b"changed")
    status, notes = run(capsys, tmp_path / "third", "--ner-mirror", mirror)
    assert status == 1
    assert notes == [f"fetch_corpora: set-b: {mirror / 'set-b' / 'all.iob2'} is not the file "
                     f"expected (SHA-256 {sha(files[('set-b', 'all.iob2')])[:12]}...)"]


def test_every_ner_file_has_a_fixed_address_and_a_digest():
    for use in (fetch_corpora.NER_TRAINING, fetch_corpora.NER_EVALUATION):
        for files in use.values():
            for url, digest in files.values():
                assert url.startswith("https://")
                # A commit, not a branch: the bytes behind it never change.
                assert any(len(part) == 40 and all(c in "0123456789abcdef" for c in part)
                           for part in url.split("/"))
                assert len(digest) == 64
