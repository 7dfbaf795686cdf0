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
