"""The local search page over a 10,000-document term-weighting index (each
hit with its passage): time to the first result, server side (the site's application called directly, and
through the HTTP server) and in headless Chromium (navigation start to the
first hit in the page), each against Process.search alone in the same run.

    .venv/bin/python bench/bench_serve.py [--docs 10000] [--queries 30]
"""

import argparse
import http.client
import json
import pathlib
import shutil
import statistics
import sys
import tempfile
import threading
from types import SimpleNamespace
import time
from urllib.parse import quote

import joblib
from sklearn.feature_extraction.text import TfidfVectorizer

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from td_corpus import Corpus  # noqa: E402

from wrapper.Console import _Site  # noqa: E402
from wrapper.Process import Process  # noqa: E402
from wrapper.core import Pagekeep  # noqa: E402
from wrapper.infra.Enginekind import Enginekind  # noqa: E402
from wrapper.infra.Idiomark import Idiomark  # noqa: E402


def ms(values):
    return f"median {statistics.median(values) * 1000:7.2f} ms, max {max(values) * 1000:7.2f} ms"


def build_index(base, n):
    corpus = Corpus()
    docs = corpus.documents(n)
    names = [f"doc-{i:05d}.pdf" for i in range(n)]
    cleaned = [c for _, c in docs]
    vectorizer = TfidfVectorizer()
    matrix = vectorizer.fit_transform(cleaned)
    models = base / "models"
    models.mkdir(parents=True)
    joblib.dump({"matrix": matrix, "vectorizer": vectorizer, "document_names": names,
                 "detected_languages": dict.fromkeys(names, Idiomark.ENGLISH),
                 "cleaned_text": dict(zip(names, cleaned))}, models / "td_model.pkl")
    # Each document's page kept beside the index, as filing does, so that
    # every hit shows its passage.
    for name, (raw, _) in zip(names, docs):
        Pagekeep.keep(str(models), SimpleNamespace(id=name, text=raw, pages=[raw], is_detect_language=True,
                                                   detected_language=Idiomark.ENGLISH))
    (models / "index.json").write_text(json.dumps({"engine": "td", "detect": True, "translate_to": None}))
    return corpus.queries(1000, docs)


def call(site, target):
    path, _, query = target.partition("?")
    environ = {"REQUEST_METHOD": "GET", "PATH_INFO": path, "QUERY_STRING": query}
    answer = {}
    body = b"".join(site(environ, lambda status, headers: answer.setdefault("status", status)))
    assert answer["status"].startswith("200"), (target, answer, body[:300])
    return body


def timed(fn, items):
    out = []
    for item in items:
        start = time.perf_counter()
        fn(item)
        out.append(time.perf_counter() - start)
    return out


def browser_times(port, queries):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu"):
        options.add_argument(flag)
    driver = webdriver.Chrome(options=options, service=Service(shutil.which("chromedriver")))
    # The first hit is in the answer's HTML, so its parse time is when it shows.
    script = ("return [performance.timing.navigationStart, performance.timing.domInteractive,"
              " document.querySelectorAll('.hit').length]")
    out = []
    try:
        driver.get(f"http://127.0.0.1:{port}/")
        for q in queries:
            driver.get(f"http://127.0.0.1:{port}/search?q={quote(q)}&lang=en")
            start, interactive, hits = driver.execute_script(script)
            assert hits > 0, q
            out.append((interactive - start) / 1000)
    finally:
        driver.quit()
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--docs", type=int, default=10000)
    parser.add_argument("--queries", type=int, default=30)
    args = parser.parse_args()
    import logging
    logging.disable(logging.WARNING)  # the absent files' thumbnails are refused quietly

    with tempfile.TemporaryDirectory() as tmp:
        base = pathlib.Path(tmp)
        queries = build_index(base, args.docs)
        process = Process(str(base), True, None, Enginekind.TD)
        # Time to the first result: queries that have one.
        queries = [q for q in queries if process.search(q, Idiomark.ENGLISH, 1, 1)[1]][: args.queries]
        site = _Site(str(base))
        # Loading the stored index and preparing the vocabulary happen once.
        process.search(queries[0], Idiomark.ENGLISH, 1, 10)
        call(site, "/search?q=x&lang=en")

        print(f"{args.docs} documents, {len(queries)} queries (half the words misspelt), 10 hits a page")
        alone = timed(lambda q: process.search(q, Idiomark.ENGLISH, 1, 10), queries)
        # The first time a document is a hit its kept pages are read from
        # disk; after that they are at hand.
        cold = timed(lambda q: call(site, f"/search?q={quote(q)}&lang=en"), queries)
        page = timed(lambda q: call(site, f"/search?q={quote(q)}&lang=en"), queries)
        api = timed(lambda q: call(site, f"/api/search?q={quote(q)}&lang=en"), queries)

        def ratio(values):
            return f"x{statistics.median(values) / statistics.median(alone):.2f}"

        print(f"  Process.search alone             {ms(alone)}")
        print(f"  search page, hits seen first     {ms(cold)}  {ratio(cold)}")
        print(f"  search page, again               {ms(page)}  {ratio(page)}")
        print(f"  /api/search                      {ms(api)}  {ratio(api)}")

        from waitress.server import create_server
        server = create_server(site, host="127.0.0.1", port=0, threads=4)
        port = server.effective_port
        threading.Thread(target=server.run, daemon=True).start()

        def over_http(q):
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
            conn.request("GET", f"/search?q={quote(q)}&lang=en")
            conn.getresponse().read()
            conn.close()

        http_times = timed(over_http, queries)
        print(f"  search page over HTTP            {ms(http_times)}  {ratio(http_times)}")
        if shutil.which("chromium") and shutil.which("chromedriver"):
            shown = browser_times(port, queries)
            print(f"  in Chromium, navigation to hits  {ms(shown)}")
        else:
            print("  (chromium not installed: no browser figure)")
        server.close()


if __name__ == "__main__":
    main()
