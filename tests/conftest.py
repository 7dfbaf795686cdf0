"""Fixtures shared by the test modules: the public corpora beside the repo,
and a local double of the online translation service."""

import json
import math
import pathlib
import ssl
import subprocess
import threading
import time
import zipfile
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

import pytest

from wrapper.infra import Tonguecheck

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


# ---- a local double of the translation service ----------------------------


def _openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True)


@pytest.fixture(scope="session")
def tls(tmp_path_factory):
    """A throwaway CA and a certificate for 127.0.0.1 signed by it; the client
    is made to trust the CA. Made per run, never stored."""
    d = tmp_path_factory.mktemp("tls")
    ec = ("-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes")
    (d / "ca.ext").write_text(
        "[v3]\nbasicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n"
        "subjectKeyIdentifier=hash\n"
    )
    _openssl("req", "-x509", *ec, "-keyout", d / "ca.key", "-out", d / "ca.pem", "-days", "2",
             "-subj", "/CN=tonguecheck test CA", "-config", d / "ca.ext", "-extensions", "v3")
    _openssl("req", "-new", *ec, "-keyout", d / "server.key", "-out", d / "server.csr",
             "-subj", "/CN=127.0.0.1")
    (d / "server.ext").write_text(
        "basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\n"
        "extendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1\n"
        "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n"
    )
    _openssl("x509", "-req", "-in", d / "server.csr", "-CA", d / "ca.pem", "-CAkey", d / "ca.key",
             "-set_serial", "1", "-days", "2", "-extfile", d / "server.ext",
             "-out", d / "server.pem")
    return d


class ServiceDouble:
    """Answers what googletrans asks of the web service: the start page that
    carries the token seed, and /translate_a/single, which serves both
    translation and detection. Each test fills the tables."""

    def __init__(self):
        self.translations = {}  # (text, target code) -> translated text
        self.languages = {}  # text -> detected code
        self.refuse = {}  # text -> number of requests answered with HTTP 500
        self.requests = []  # (port, path, params)
        self.lock = threading.Lock()

    def answer(self, port, path, params):
        with self.lock:
            self.requests.append((port, path, params))
            if path == "/":
                hour = math.floor(int(time.time() * 1000) / 3600000.0)
                return 200, f"<script>window.x={{tkk:'{hour}.1'}}</script>"
            q, tl = params["q"][0], params["tl"][0]
            if self.refuse.get(q, 0):
                self.refuse[q] -= 1
                return 500, ""
            src = self.languages.get(q, "")
            text = self.translations.get((q, tl), "")
        return 200, json.dumps([[[text, q, None, None, 10]], None, src, None, None, None, 1.0,
                                [], [[src], None, [1.0], [src]]])

    def sent(self, path="/translate_a/single"):
        return [(p["q"][0], p["tl"][0], p["sl"][0]) for _, pth, p in self.requests if pth == path]


def _serve(double, tls):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"  # keep-alive, so the client pools connections

        def do_GET(self):
            url = urlsplit(self.path)
            status, body = double.answer(self.server.server_port, url.path,
                                         parse_qs(url.query, keep_blank_values=True))
            data = body.encode()
            self.send_response(status)
            self.send_header("Content-Type", "application/json; charset=utf-8")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(tls / "server.pem", tls / "server.key")
    server.socket = ctx.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, args=(0.05,), daemon=True).start()
    return server


@pytest.fixture
def service(tls, monkeypatch):
    """The module's endpoint list pointed at two doubles (global, regional)
    sharing one state; the client is googletrans's own, unchanged."""
    double = ServiceDouble()
    servers = [_serve(double, tls) for _ in range(2)]
    double.ports = [s.server_port for s in servers]
    monkeypatch.setattr(Tonguecheck, "SERVICE_URLS", [f"127.0.0.1:{p}" for p in double.ports])
    monkeypatch.setenv("SSL_CERT_FILE", str(tls / "ca.pem"))
    monkeypatch.setenv("NO_PROXY", "127.0.0.1")
    monkeypatch.setenv("no_proxy", "127.0.0.1")
    yield double
    for s in servers:
        s.shutdown()
        s.server_close()


# Names a rule-based recogniser finds, word for word, wherever they stand.
FIXED_NAMES = {
    "Gabriel García Márquez": "PER", "Miguel de Cervantes": "PER", "José Saramago": "PER",
    "Rio de Janeiro": "LOC", "Lisboa": "LOC", "Barcelona": "LOC", "México": "LOC",
    "Madrid": "LOC",
}


@pytest.fixture
def fixed_ner(tmp_path_factory, monkeypatch):
    """A recogniser whose answers are fixed (spaCy's entity ruler over
    FIXED_NAMES) in place of the statistical model, for tests of what the
    library does with a recogniser's answers: a trained model's answers
    differ between machines that trained it."""
    import spacy

    from wrapper.infra import Namepick

    path = tmp_path_factory.mktemp("fixed-ner") / "model"
    nlp = spacy.blank("xx")
    nlp.add_pipe("entity_ruler").add_patterns(
        [{"label": label, "pattern": [{"TEXT": word} for word in name.split()]}
         for name, label in FIXED_NAMES.items()])
    nlp.to_disk(path)
    monkeypatch.setattr(Namepick, "SPACY_MODEL", "xx_not_installed_model")
    monkeypatch.setattr(Namepick, "OFFLINE_MODEL", str(path))
    monkeypatch.setattr(Namepick, "_model", None)
    return FIXED_NAMES


# ---- rounds of the tests that race (./dev stress) ----------------------------
#
# Tests marked `race` depend on timing: processes killed, forked, or writing at
# once. `--rounds N` runs only them, N times each, round by round (every race
# test once, then again), so a fault that shows once in many runs on a busy
# machine shows here first; the failing round is in the test's id.
# `--rounds-within S` starts no new round once S seconds have passed: a busy
# machine runs fewer rounds instead of being cut off in the middle of a test.


def pytest_addoption(parser):
    parser.addoption("--rounds", type=int, default=0,
                     help="run only the tests marked race, this many rounds")
    parser.addoption("--rounds-within", type=float, default=0,
                     help="with --rounds: start no new round after this many seconds")


def pytest_generate_tests(metafunc):
    rounds = metafunc.config.getoption("rounds")
    if rounds and metafunc.definition.get_closest_marker("race"):
        metafunc.parametrize("race_round", range(1, rounds + 1), indirect=True,
                             ids=lambda n: f"round{n}")


@pytest.fixture(autouse=True)
def race_round(request):
    return getattr(request, "param", 0)


def pytest_collection_modifyitems(config, items):
    if not config.getoption("rounds"):
        return
    items[:] = [item for item in items if item.get_closest_marker("race")]
    items.sort(key=_round_of)


_rounds = {"started": 0, "deadline": None, "spent": False}


def _round_of(item):
    return item.callspec.params.get("race_round", 0) if hasattr(item, "callspec") else 0


def pytest_sessionstart(session):
    within = session.config.getoption("rounds_within")
    if session.config.getoption("rounds") and within > 0:
        _rounds["deadline"] = time.monotonic() + within


def pytest_runtest_setup(item):
    number = _round_of(item)
    if number > _rounds["started"]:
        deadline = _rounds["deadline"]
        if deadline is not None and (_rounds["spent"] or time.monotonic() > deadline):
            _rounds["spent"] = True
            pytest.skip("the time for rounds is spent: this round is not started")
        _rounds["started"] = number


def pytest_terminal_summary(terminalreporter, exitstatus, config):
    if config.getoption("rounds") and _rounds["spent"]:
        terminalreporter.write_line(
            f"rounds: {_rounds['started']} of {config.getoption('rounds')} ran before the "
            f"{config.getoption('rounds_within'):g} s for starting rounds were spent")
