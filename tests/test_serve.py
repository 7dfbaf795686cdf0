"""`wrapper serve`: the search page, the document view and the JSON API over a
small real index; requests that try to leave the index; a real browser."""

import http.client
import json
import os
import pathlib
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
from urllib.parse import quote

import cv2
import fitz
import numpy as np
import pytest

from samples import EN, PT, ctrl_c_delivered, interrupted, text_pdf

PROGRAM = pathlib.Path(sys.executable).parent / "wrapper"
MARKUP_NAME = '<img src=x onerror="x()"> & name.pdf'
MARKUP_TEXT = ("<script>alert('volcano')</script> The volcano report <b>bold</b>: "
               "a fumarole of ice and ash on the northern slope & the river.")


def two_page_pdf(path):
    with fitz.open() as doc:
        for text in (EN, "The second page speaks of telescopes, galaxies and distant stars."):
            page = doc.new_page(width=420, height=300)
            page.insert_textbox(fitz.Rect(24, 24, 396, 276), text, fontsize=13)
        doc.save(path)


def frame(lines, width=640):
    picture = np.full((60 * len(lines) + 20, width, 3), 255, np.uint8)
    for i, line in enumerate(lines):
        cv2.putText(picture, line, (10, 50 + 60 * i), cv2.FONT_HERSHEY_SIMPLEX, 1.2, (0, 0, 0), 2)
    return picture


def harbour_image(path):
    cv2.imwrite(str(path), frame(["The harbour crane lifts", "the heavy containers"]))


def harbour_video(path):
    """Three frames, each a line of one English sentence."""
    lines = ["The harbour pilot", "guides the ships", "into the dock"]
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"mp4v"), 1, (640, 80))
    for line in lines:
        writer.write(frame([line]))
    writer.release()


@pytest.fixture(scope="module")
def base(tmp_path_factory):
    root = tmp_path_factory.mktemp("serve")
    docs = root / "docs"
    (docs / "sub dir").mkdir(parents=True)
    text_pdf(docs / "pt.pdf", PT)
    two_page_pdf(docs / "sub dir" / "en.pdf")
    text_pdf(docs / MARKUP_NAME, MARKUP_TEXT)
    harbour_image(docs / "crane.png")
    harbour_video(docs / "harbour.mp4")
    (root / "secret.txt").write_text("outside the index")
    other = root / "other"  # a second folder in the same base: its names leave the first
    other.mkdir()
    text_pdf(other / "pt.pdf", "O farol da ilha guia os navios pescadores durante a tempestade.")
    for folder in (docs, other):
        done = subprocess.run([str(PROGRAM), "index", str(folder), "--base", str(root / "base"),
                               "--detect"], capture_output=True, text=True, timeout=600)
        assert done.returncode == 0, done.stdout + done.stderr
    return root / "base"


@pytest.fixture(scope="module")
def server(base):
    """`wrapper serve` on a free port; its log is read after it stops."""
    log = open(base.parent / "serve.log", "w+")
    proc = subprocess.Popen([str(PROGRAM), "serve", "--base", str(base), "--port", "0"],
                            stdout=subprocess.PIPE, stderr=log, text=True, start_new_session=True,
                            env=dict(os.environ, PYTHONFAULTHANDLER="1"),
                            preexec_fn=ctrl_c_delivered)
    line = proc.stdout.readline()
    match = re.search(r"http://127\.0\.0\.1:(\d+)/", line)
    assert match, line
    yield int(match.group(1)), log
    try:
        interrupted(proc, group=True)
    except AssertionError:
        log.seek(0)
        raise AssertionError(log.read()[-6000:]) from None
    proc.stdout.close()
    log.close()


def index_cleanly(docs, base):
    done = subprocess.run([str(PROGRAM), "index", str(docs), "--base", str(base)],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr


def get(port, target, method="GET"):
    """The raw target is sent as written: no client-side normalisation."""
    # The server's first search builds the ranked search and reads the word
    # lists: seconds here, several times that in the sanitizers' build.
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=600)
    conn.putrequest(method, target, skip_accept_encoding=True)
    conn.endheaders()
    answer = conn.getresponse()
    body = answer.read()
    conn.close()
    return answer.status, answer.getheader("Content-Type"), body


def api(port, target):
    status, kind, body = get(port, target)
    assert status == 200 and kind.startswith("application/json"), body
    return json.loads(body)


def test_a_second_folders_documents_are_served_from_where_they_are(server):
    port, _ = server
    found = api(port, "/api/search?q=farol+navios&lang=pt")
    assert [hit["id"] for hit in found["hits"]] == ["../other/pt.pdf"]
    status, kind, png = get(port, "/api/pages/" + quote("../other/pt.pdf", safe="") + "/1.png")
    assert status == 200 and kind == "image/png" and png.startswith(b"\x89PNG")


def test_search_api_documents_and_pages(server):
    port, _ = server
    found = api(port, "/api/search?q=volcano+ash&lang=en")
    ids = [hit["id"] for hit in found["hits"]]
    assert set(ids) == {"sub dir/en.pdf", MARKUP_NAME}
    assert all(hit["score"] > 0 and hit["language"] == "en" for hit in found["hits"])
    assert found["corrected"] is None and found["has_next"] is False

    doc = api(port, "/api/documents/sub%20dir%2Fen.pdf")
    assert doc["pages"] == 2 and doc["language"] == "en" and doc["kind"] == "PDF"
    assert doc["abstract"] and doc["keywords"]
    status, kind, png = get(port, "/api/pages/sub%20dir%2Fen.pdf/2.png?size=thumb")
    assert status == 200 and kind == "image/png" and png.startswith(b"\x89PNG")
    assert get(port, "/api/pages/sub%20dir%2Fen.pdf/3.png")[0] == 404

    # One hit a page: the second page exists, the third does not.
    first = api(port, "/api/search?q=volcano&lang=en&per_page=1")
    second = api(port, "/api/search?q=volcano&lang=en&per_page=1&page=2")
    assert first["has_next"] and not second["has_next"]
    assert first["hits"][0]["id"] != second["hits"][0]["id"]


@pytest.mark.parametrize("name, kind, pages", [("crane.png", "image", 1), ("harbour.mp4", "video", 3)])
def test_images_and_video_frames_are_pages(server, name, kind, pages):
    port, _ = server
    doc = api(port, f"/api/documents/{name}")
    assert (doc["kind"], doc["pages"]) == (kind, pages)
    status, _, png = get(port, f"/api/pages/{name}/{pages}.png")
    assert status == 200 and int.from_bytes(png[16:20], "big") == 1000  # the PNG's width
    assert get(port, f"/api/pages/{name}/{pages + 1}.png")[0] == 404
    view = get(port, f"/documents/{name}")[2].decode()
    assert 'id="objects"' in view


def test_a_query_whose_language_cannot_be_told_is_answered_in_the_index_languages(server):
    port, _ = server
    # lingua takes "lava river" for French.
    found = api(port, "/api/search?q=lava+river")
    assert sorted(found["languages"]) == ["en", "pt"] and found["language"] is None
    assert {hit["id"] for hit in found["hits"]} >= {"sub dir/en.pdf", "pt.pdf"}
    assert api(port, "/api/search?q=lava+river&lang=en")["languages"] is None


def test_misspelt_query_says_what_was_searched(server):
    port, _ = server
    status, _, body = get(port, "/search?q=volcanno&lang=en")
    assert status == 200
    assert b'class="did-you-mean"' in body and b"volcano" in body
    assert b'class="did-you-mean"' not in get(port, "/search?q=volcano&lang=en")[2]


def test_markup_in_names_and_text_is_shown_not_run(server):
    port, _ = server
    page = get(port, "/search?q=fumarole&lang=en")[2].decode()
    assert "&lt;img src=x onerror=&quot;x()&quot;&gt; &amp; name.pdf" in page
    assert "<img src=x" not in page
    assert "<script>" not in page and "&lt;script&gt;" in page  # in the passage
    view = get(port, "/documents/" + quote(MARKUP_NAME, safe=""))[2].decode()
    assert "<script>" not in view and "<b>" not in view.split("<h1", 1)[1]
    assert "&lt;" in view


@pytest.mark.parametrize("target", [
    "/api/pages/../../secret.txt/1.png",
    "/api/pages/..%2F..%2Fsecret.txt/1.png",
    "/api/pages/%2e%2e/%2e%2e/secret.txt/1.png",
    "/api/pages/%252e%252e%252fsecret.txt/1.png",
    "/api/documents/%2Fetc%2Fpasswd",
    "/api/documents/..%2Fdocs%2Fpt.pdf",
    "/documents/pt.pdf%00.png",
    "/documents/./pt.pdf",
    "/api/pages/pt.pdf/0.png",
    "/api/pages/pt.pdf/99999999999999999999.png",
    "/api/pages/pt.pdf/1.png?size=huge",
    "/api/search?q=volcano&lang=xx",
    "/api/search?q=volcano&page=0",
    "/api/search?q=volcano&per_page=abc",
    "/api/search?q=%20",
    "/api/search?q=%FF%FE",
    "/nowhere",
    "/documents/" + "a" * 5000,
    "/files/../../secret.txt",
    "/files/..%2Fsecret.txt",
    "/files/..%2F..%2Fsecret.txt",
    "/files/%2Fetc%2Fpasswd",
    "/files/%2e%2e/secret.txt",
    "/files/pt.pdf%00",
    "/files/./pt.pdf",
    "/files/",
    "/site.css/../secret.txt",
    "/favicon.svg/x",
    "/api/search?q=volcano&kind=doc",
    "/api/search?q=volcano&sort=size",
    "/api/search?q=volcano&language=fr",
    "/api/search?q=volcano&folder=..",
    "/api/search?q=volcano&folder=%2Fetc",
    "/api/pages/pt.pdf/1.png?size=..%2F..%2Fsecret.txt",
])
def test_bad_requests_get_4xx_a_log_line_and_the_server_stays_up(server, target):
    port, log = server
    log.seek(0, os.SEEK_END)
    at = log.tell()
    status, _, body = get(port, target)
    assert 400 <= status < 500, (status, body)
    assert b"outside the index" not in body and b"root:" not in body
    time.sleep(0.1)
    log.seek(at)
    lines = log.read().splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"WARNING serve: {status} GET "), lines
    assert len(lines[0]) < 400
    assert api(port, "/api/search?q=volcano&lang=en")["hits"]


def test_other_methods_and_broken_requests(server):
    port, _ = server
    assert get(port, "/api/search?q=volcano", method="POST")[0] == 405
    with socket.create_connection(("127.0.0.1", port), timeout=30) as raw:
        raw.sendall(b"\x00\xff GARBAGE\r\n\r\n")
        assert raw.recv(100).startswith(b"HTTP/1.0 400 ")
    assert api(port, "/api/search?q=volcano&lang=en")["hits"]


# ---- in a real browser ---------------------------------------------------------

CHROMIUM, DRIVER = shutil.which("chromium"), shutil.which("chromedriver")


@pytest.fixture(scope="module")
def browser():
    if not (CHROMIUM and DRIVER):
        pytest.skip("Debian's chromium and chromium-driver are not installed")
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                 "--window-size=1200,900"):
        options.add_argument(flag)
    # What the page logs (a blocked resource, a script error) is read back.
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # The browser is not ours to check: a sanitizer run's preloaded runtimes
    # stay with the processes we built.
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    driver = webdriver.Chrome(options=options, service=Service(executable_path=DRIVER, env=env))
    driver.set_page_load_timeout(60)
    yield driver
    driver.quit()


def follow(driver, act):
    """Does `act` (a click or a submit that loads another page) and waits for
    that page: on a busy machine a click returns before a form's navigation
    has even begun, and the old page would be read."""
    from selenium.common.exceptions import StaleElementReferenceException, WebDriverException
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    page = driver.find_element(By.TAG_NAME, "html")
    act()

    def left(_):
        try:
            page.is_enabled()
            return False
        except StaleElementReferenceException:
            return True
        except WebDriverException as e:
            # Asked while the new page replaces it, Chromium says so in its
            # own words rather than as a stale element.
            if "does not belong to the document" in str(e):
                return True
            raise

    WebDriverWait(driver, 120).until(left)
    WebDriverWait(driver, 120).until(lambda d: d.execute_script("return document.readyState") == "complete")


def loaded(driver, image):
    """Whether the image shows, waiting while the server renders it."""
    from selenium.webdriver.support.ui import WebDriverWait

    script = "return arguments[0].complete && arguments[0].naturalWidth > 0"
    return WebDriverWait(driver, 60).until(lambda d: d.execute_script(script, image))


def test_in_a_browser(server, browser):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select

    port, _ = server
    browser.get(f"http://127.0.0.1:{port}/")
    box = browser.find_element(By.ID, "q")
    box.send_keys("telescopes galaxies")
    Select(browser.find_element(By.ID, "lang")).select_by_value("en")
    follow(browser, box.submit)
    hits = browser.find_elements(By.CSS_SELECTOR, ".hit")
    assert len(hits) == 1
    assert hits[0].find_element(By.CSS_SELECTOR, "a.name").text == "sub dir/en.pdf"
    assert hits[0].find_element(By.CSS_SELECTOR, ".language").text == "English"
    thumb = hits[0].find_element(By.CSS_SELECTOR, "img.thumb")
    browser.execute_script("arguments[0].scrollIntoView()", thumb)
    assert loaded(browser, thumb)
    # The words matched on the second page: that page is shown and opened.
    assert hits[0].find_element(By.CSS_SELECTOR, ".best-page").text == "2"
    assert thumb.get_attribute("src").endswith("/2.png?size=thumb")
    marks = {m.text.lower() for m in hits[0].find_elements(By.CSS_SELECTOR, ".passage mark")}
    assert marks == {"telescopes", "galaxies"}

    follow(browser, hits[0].find_element(By.CSS_SELECTOR, "a.name").click)
    assert browser.find_element(By.ID, "language").text == "English"
    page_image = browser.find_element(By.CSS_SELECTOR, "img.page")
    assert loaded(browser, page_image)
    assert browser.find_element(By.CSS_SELECTOR, ".pages .current").text == "2"
    follow(browser, browser.find_element(By.CSS_SELECTOR, ".pages a.prev").click)
    assert browser.find_element(By.CSS_SELECTOR, ".pages .current").text == "1"
    assert loaded(browser, browser.find_element(By.CSS_SELECTOR, "img.page"))

    browser.get(f"http://127.0.0.1:{port}/search?q=telescopse&lang=en")
    assert "telescop" in browser.find_element(By.CSS_SELECTOR, ".did-you-mean").text
    assert browser.find_elements(By.CSS_SELECTOR, ".hit")


WIDTHS = [390, 1280]  # a phone held upright, a laptop


def at_width(driver, width):
    """The window as a phone (touch, its viewport honoured) or a desktop."""
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
        "width": width, "height": 844 if width < 600 else 900, "deviceScaleFactor": 1,
        "mobile": width < 600})


def console_errors(driver, own_status=None):
    """What the page logged as an error; a refusal's own status is no fault
    of the page that tells of it."""
    errors = [e["message"] for e in driver.get_log("browser") if e["level"] == "SEVERE"]
    if own_status:
        errors = [m for m in errors if f"status of {own_status}" not in m]
    return errors


def images_loaded(driver):
    from selenium.webdriver.support.ui import WebDriverWait
    WebDriverWait(driver, 120).until(lambda d: d.execute_script(
        "return [...document.images].every(i => i.loading == 'lazy' || i.complete)"))


@pytest.mark.parametrize("width", WIDTHS)
def test_every_page_fits_the_window_and_logs_no_error(server, browser, width, tmp_path):
    port, _ = server
    at_width(browser, width)
    console_errors(browser)  # what came before
    pages = [
        ("/", None), ("/search?q=lava+river", None),
        ("/search?q=volcano&lang=en&per_page=1&page=2", None),
        ("/documents/" + quote(MARKUP_NAME, safe=""), None),
        ("/documents/sub%20dir%2Fen.pdf?page=2&q=telescopes&lang=en&from=1", None),
        ("/documents/harbour.mp4?page=2", None),
        ("/nowhere", 404), ("/search?q=volcano&kind=doc", 400),
    ]
    try:
        for n, (target, status) in enumerate(pages):
            browser.get(f"http://127.0.0.1:{port}{target}")
            images_loaded(browser)
            scroll, inner = browser.execute_script(
                "return [document.documentElement.scrollWidth, window.innerWidth]")
            assert inner == width and scroll <= inner, (target, scroll, inner)
            assert not console_errors(browser, status), target
            if n in (1, 4):
                assert browser.save_screenshot(str(tmp_path / f"{n}-{width}.png"))
    finally:
        browser.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})


def test_filters_sort_paging_marks_and_the_way_back_in_a_browser(server, browser):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select

    port, _ = server
    at_width(browser, 390)
    try:
        browser.get(f"http://127.0.0.1:{port}/")
        browser.find_element(By.ID, "q").send_keys("lava river")
        Select(browser.find_element(By.ID, "language")).select_by_visible_text("Portuguese")
        follow(browser, browser.find_element(By.CSS_SELECTOR, "form.search button").click)
        assert browser.find_element(By.ID, "count").text.startswith("1 document")
        assert [a.text for a in browser.find_elements(By.CSS_SELECTOR, "a.name")] == ["pt.pdf"]

        browser.get(f"http://127.0.0.1:{port}/search?q=volcano+ash&lang=en&per_page=1")
        Select(browser.find_element(By.ID, "sort")).select_by_value("date")
        follow(browser, browser.find_element(By.CSS_SELECTOR, "form.search button").click)
        assert "sort=date" in browser.current_url and "per_page=1" in browser.current_url
        follow(browser, browser.find_element(By.CSS_SELECTOR, '.paging a[aria-label="Page 2"]').click)
        assert browser.find_element(By.CSS_SELECTOR, ".paging .current").text == "2"
        second = browser.find_element(By.CSS_SELECTOR, "a.name").text

        follow(browser, browser.find_element(By.CSS_SELECTOR, "a.name").click)
        assert browser.find_element(By.CSS_SELECTOR, "h1.document").text == second
        marks = browser.find_elements(By.CSS_SELECTOR, "#page-text mark")
        assert {m.text.lower() for m in marks} >= {"volcano"}
        assert browser.find_elements(By.CSS_SELECTOR, ".marks-on-page rect")
        assert loaded(browser, browser.find_element(By.CSS_SELECTOR, "img.page"))
        original = browser.find_element(By.CSS_SELECTOR, "a.original").get_attribute("href")
        status, kind, body = get(port, original.split(str(port), 1)[1])
        assert status == 200 and kind == "application/pdf" and body.startswith(b"%PDF")

        follow(browser, browser.find_element(By.CSS_SELECTOR, "a.back").click)
        assert browser.find_element(By.CSS_SELECTOR, ".paging .current").text == "2"
        assert Select(browser.find_element(By.ID, "sort")).first_selected_option.text == "Newest file first"
        assert not console_errors(browser)
    finally:
        browser.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})


def test_the_keyboard_reaches_every_control_and_shows_where_it_is(server, browser):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys

    port, _ = server
    browser.get(f"http://127.0.0.1:{port}/search?q=lava+river")
    active = "return document.activeElement"
    # "/" from anywhere but a field goes to the search box.
    browser.find_element(By.TAG_NAME, "body").click()
    ActionChains(browser).send_keys("/").perform()
    assert browser.execute_script(active + ".id") == "q"
    assert browser.execute_script(active + ".value") == "lava river"  # "/" not typed into it

    browser.get(f"http://127.0.0.1:{port}/search?q=lava+river")
    reached = []
    for _ in range(14):
        ActionChains(browser).send_keys(Keys.TAB).perform()
        element = browser.execute_script(active)
        reached.append(element.get_attribute("id") or element.get_attribute("class"))
        outline = browser.execute_script("return getComputedStyle(arguments[0]).outlineStyle", element)
        assert outline != "none", reached[-1]
        assert element.is_displayed()
    assert reached[0] == "skip"
    assert {"q", "lang", "language", "kind", "folder", "sort"} <= set(reached)
    assert "name" in reached  # the first hit


# ---- what the server trusts, and an index that changes under it -------------


def call(site, path, query="", host="127.0.0.1:8765", method="GET"):
    """One request to the site as a WSGI server would make it."""
    environ = {"REQUEST_METHOD": method, "PATH_INFO": path, "QUERY_STRING": query}
    if host is not None:
        environ["HTTP_HOST"] = host
    answer = {}

    def start_response(status, headers):
        answer["status"], answer["headers"] = int(status.split()[0]), dict(headers)
    body = b"".join(site(environ, start_response))
    return answer["status"], answer["headers"]["Content-Type"], body


@pytest.mark.parametrize("host, allowed", [
    ("127.0.0.1:8765", True), ("localhost:8765", True), ("LOCALHOST", True),
    ("[::1]:8765", True), ("192.168.1.20:8765", True), ("app.localhost", True),
    (socket.gethostname(), True), ("archive.example", True), (None, True),
    ("attacker.example:8765", False), ("127.0.0.1.evil.example", False),
    ("localhost.evil.example", False), ("[::1", False), ("", True),
])
def test_only_this_machines_names_are_answered(base, host, allowed):
    from wrapper import Console
    site = Console._Site(str(base), allowed_hosts=["archive.example"])
    for path in ("/api/search", "/search", "/api/pages/pt.pdf/1.png"):
        status, kind, body = call(site, path, "q=volcano&lang=en", host)
        if allowed:
            assert status == 200, body
        else:
            assert status == 403 and b"volcano" not in body and b"\x89PNG" not in body
            assert kind.startswith("application/json") == path.startswith("/api/")


def test_queries_without_a_searchable_word_find_nothing_and_say_why(base):
    from wrapper import Console
    site = Console._Site(str(base))
    for query in ("q=the&lang=en", "q=to+be+or+not+to+be&lang=en", "q=a+las+de+los&lang=es"):
        status, kind, body = call(site, "/api/search", query)
        assert status == 200 and kind.startswith("application/json"), body
        found = json.loads(body)
        assert found["hits"] == [] and "no word to search for" in found["note"]
        status, kind, body = call(site, "/search", query)
        assert status == 200 and b"no word to search for" in body
    done = subprocess.run([str(PROGRAM), "search", "the", "--base", str(base), "--language", "en"],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0 and "no documents match" in done.stdout, done.stderr


SITE_PAGES = """
import json, sys
from wrapper import Console
from wrapper.core import FinderyTD
FinderyTD.RANKING = "bm25"  # as wrapper serve ranks
site = Console._Site(sys.argv[1])
out = []
for path, query in [("/api/search", "q=volcano+lava&lang=en"), ("/api/search", "q=lava"),
                    ("/search", "q=lava&language=pt"), ("/api/documents/pt.pdf", "")]:
    answer = {}
    def start_response(status, headers):
        answer["status"] = status
    body = b"".join(site({"REQUEST_METHOD": "GET", "PATH_INFO": path, "QUERY_STRING": query,
                          "HTTP_HOST": "127.0.0.1"}, start_response))
    out.append([answer["status"], body.decode()])
    if path != "/api/documents/pt.pdf":  # the document's abstract needs what it needs
        searched_with_sklearn = "sklearn" in sys.modules
print(json.dumps([out, searched_with_sklearn]))
"""


def test_the_site_answers_from_the_index_beside_the_model_as_from_the_model(base, tmp_path):
    # The same base without the index beside the model: the model is read.
    without = tmp_path / "base"
    shutil.copytree(base, without, copy_function=shutil.copy2)
    (without / "models" / "td_search_index.bin").unlink()
    answers = []
    for where in (base, without):
        done = subprocess.run([sys.executable, "-c", SITE_PAGES, str(where)], capture_output=True, text=True,
                              timeout=300)
        assert done.returncode == 0, done.stderr
        answers.append(json.loads(done.stdout.splitlines()[-1]))
    (stored, stored_sklearn), (model, model_sklearn) = answers
    assert [status for status, _ in stored] == ["200 OK"] * 4
    # Filters, hits, passages and the document view alike (the page names its base).
    assert [body.replace(str(base), "BASE") for _, body in stored] == \
        [body.replace(str(without), "BASE") for _, body in model]
    assert (stored_sklearn, model_sklearn) == (False, True)


@pytest.mark.parametrize("path, method, status", [
    ("/api/nothing", "GET", 404), ("/api/search", "POST", 405),
    ("/api/search?q=x&page=0", "GET", 400), ("/api/documents/nowhere.pdf", "GET", 404),
])
def test_every_api_error_is_json(base, path, method, status):
    from wrapper import Console
    site = Console._Site(str(base))
    target, _, query = path.partition("?")
    got, kind, body = call(site, target, query, method=method)
    assert got == status and kind.startswith("application/json")
    assert set(json.loads(body)) == {"error"}


def test_a_library_failure_on_the_api_is_json_too(base, monkeypatch):
    from wrapper import Console
    from wrapper.Process import Process
    site = Console._Site(str(base))

    def broken(*args, **kwargs):
        raise RuntimeError("the engine broke")
    monkeypatch.setattr(Process, "search", broken)
    status, kind, body = call(site, "/api/search", "q=volcano&lang=en")
    assert status == 500 and kind.startswith("application/json") and "error" in json.loads(body)


def test_a_page_of_an_extreme_shape_is_rendered_within_the_pixel_cap(tmp_path):
    from wrapper import Console
    docs = tmp_path / "docs"
    docs.mkdir()
    text_pdf(docs / "en.pdf", EN)
    index_cleanly(docs, tmp_path / "base")
    # The file the index names is now a strip 3 pt wide and 14400 pt tall:
    # at the readable width it would be 1000 x 4.8 million pixels.
    with fitz.open() as doc:
        doc.new_page(width=3, height=14400)
        doc.save(docs / "en.pdf")
    site = Console._Site(str(tmp_path / "base"))
    for size in ("page", "thumb"):
        status, kind, png = call(site, "/api/pages/en.pdf/1.png", f"size={size}")
        assert status == 200 and kind == "image/png"
        picture = cv2.imdecode(np.frombuffer(png, np.uint8), cv2.IMREAD_UNCHANGED)
        assert picture.shape[0] * picture.shape[1] <= 16e6


def test_a_running_server_follows_the_index_through_runs_and_removals(tmp_path):
    from wrapper import Console
    docs = tmp_path / "docs"
    docs.mkdir()
    text_pdf(docs / "a.pdf", "The volcano glacier report on ash clouds over the northern valley.")
    base = tmp_path / "base"

    def index():
        done = subprocess.run([str(PROGRAM), "index", str(docs), "--base", str(base)],
                              capture_output=True, text=True, timeout=600)
        assert done.returncode == 0, done.stdout + done.stderr

    def names(site):
        status, _, body = call(site, "/api/search", "q=volcano+glacier&lang=en")
        assert status == 200, body
        return [hit["id"] for hit in json.loads(body)["hits"]]
    index()
    site = Console._Site(str(base))
    # One that looks at the index once an hour keeps what it read.
    lazy = Console._Site(str(base), follow_every=3600)
    assert names(site) == ["a.pdf"] == names(lazy)
    assert call(site, "/api/documents/a.pdf")[0] == 200
    (docs / "a.pdf").unlink()
    text_pdf(docs / "b.pdf", "A glacier and a volcano: the second report on the valley.")
    index()
    assert names(site) == ["b.pdf"]
    assert call(site, "/api/documents/a.pdf")[0] == 404
    assert call(site, "/api/pages/a.pdf/1.png")[0] == 404
    done = subprocess.run([str(PROGRAM), "remove", str(docs / "b.pdf"), "--base", str(base)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    assert names(site) == []
    assert call(site, "/api/documents/b.pdf")[0] == 404
    assert names(lazy) == ["a.pdf"]


# ---- the page's own files, the originals, filters and the document view ------


def headers_of(port, target):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=600)
    conn.request("GET", target)
    answer = conn.getresponse()
    body = answer.read()
    conn.close()
    return answer.status, dict(answer.getheaders()), body


@pytest.mark.parametrize("target, kind", [
    ("/site.css", "text/css"), ("/site.js", "text/javascript"),
    ("/favicon.svg", "image/svg+xml"), ("/favicon.ico", "image/svg+xml"),
])
def test_the_sites_own_files(server, target, kind):
    port, _ = server
    status, headers, body = headers_of(port, target)
    assert status == 200 and headers["Content-Type"].startswith(kind) and body


@pytest.mark.parametrize("target", ["/", "/search?q=volcano&lang=en", "/documents/pt.pdf", "/nowhere"])
def test_pages_load_only_the_sites_own_files(server, target):
    port, _ = server
    _, headers, body = headers_of(port, target)
    policy = headers["Content-Security-Policy"]
    assert "script-src 'self'" in policy and "style-src 'self'" in policy and "unsafe" not in policy
    page = body.decode()
    assert "<style" not in page and " style=" not in page and "<script>" not in page
    assert 'href="/site.css"' in page and 'src="/site.js"' in page and 'href="/favicon.svg"' in page
    # Every control has a visible label.
    for control in re.findall(r'<(?:input|select)\b[^>]*\bid="([^"]+)"', page):
        assert f'<label for="{control}">' in page, control


@pytest.mark.parametrize("name, kind, source", [
    ("sub dir/en.pdf", "application/pdf", "docs/sub dir/en.pdf"),
    ("crane.png", "image/png", "docs/crane.png"),
    ("harbour.mp4", "video/mp4", "docs/harbour.mp4"),
    (MARKUP_NAME, "application/pdf", "docs/" + MARKUP_NAME),
    ("../other/pt.pdf", "application/pdf", "other/pt.pdf"),
])
def test_the_original_file_is_served_as_it_is(server, base, name, kind, source):
    port, _ = server
    status, headers, body = headers_of(port, "/files/" + quote(name, safe=""))
    assert status == 200 and headers["Content-Type"] == kind
    assert body == (base.parent / source).read_bytes()
    assert headers["X-Content-Type-Options"] == "nosniff"
    disposition = headers["Content-Disposition"]
    assert disposition.startswith("inline; ") and "\n" not in disposition
    assert disposition.endswith("filename*=UTF-8''" + quote(name.rsplit("/", 1)[-1], safe=""))


def test_a_named_file_that_now_leads_out_of_its_folder_is_refused(tmp_path):
    from wrapper import Console
    docs = tmp_path / "docs"
    docs.mkdir()
    text_pdf(docs / "en.pdf", EN)
    index_cleanly(docs, tmp_path / "base")
    site = Console._Site(str(tmp_path / "base"))
    assert call(site, "/files/en.pdf")[0] == 200
    # The name the index holds now links to a file outside every folder.
    secret = tmp_path / "secret.pdf"
    secret.write_bytes(b"%PDF-1.4 outside the index")
    (docs / "en.pdf").unlink()
    (docs / "en.pdf").symlink_to(secret)
    site = Console._Site(str(tmp_path / "base"))
    for target in ("/files/en.pdf", "/api/pages/en.pdf/1.png", "/documents/en.pdf"):
        status, _, body = call(site, target)
        assert status == 404 and b"outside the index" not in body


@pytest.mark.parametrize("query, ids", [
    ("q=harbour&lang=en", {"crane.png", "harbour.mp4"}),
    ("q=harbour&lang=en&kind=image", {"crane.png"}),
    ("q=harbour&lang=en&kind=video", {"harbour.mp4"}),
    ("q=harbour&lang=en&kind=pdf", set()),
    ("q=volcano&lang=en&folder=sub+dir", {"sub dir/en.pdf"}),
    ("q=volcano&lang=en&folder=.", {MARKUP_NAME}),
    ("q=lava+river", {"sub dir/en.pdf", "pt.pdf"}),
    ("q=lava+river&language=pt", {"pt.pdf"}),
    ("q=lava+river&language=en&kind=pdf", {"sub dir/en.pdf", MARKUP_NAME}),
    ("q=lava+river&language=es", set()),
])
def test_filters_keep_what_they_name_and_the_count_follows(server, query, ids):
    port, _ = server
    found = api(port, "/api/search?" + query)
    got = {hit["id"] for hit in found["hits"]}
    assert got >= ids and found["total"] == len(found["hits"])
    if "kind=" in query or "folder=" in query or "language=" in query:
        assert got == ids
    for hit in found["hits"]:
        assert hit["file"] == "/files/" + quote(hit["id"], safe="")
        assert hit["kind"] in ("pdf", "image", "video") and 0 < hit["relevance"] <= 1


def test_sort_by_date_and_numbered_pages(base):
    from wrapper import Console
    docs = base.parent / "docs"
    old, new = docs / "sub dir" / "en.pdf", docs / MARKUP_NAME
    os.utime(old, (1_000_040_000, 1_000_040_000))
    os.utime(new, (1_700_000_000, 1_700_000_000))
    site = Console._Site(str(base))

    def ids(query):
        status, _, body = call(site, "/api/search", query)
        assert status == 200, body
        return json.loads(body)
    by_date = ids("q=volcano+ash&lang=en&sort=date")
    assert [hit["id"] for hit in by_date["hits"]] == [MARKUP_NAME, "sub dir/en.pdf"]
    assert by_date["hits"][1]["modified"] == "2001-09-09"
    pages = [ids(f"q=volcano+ash&lang=en&sort=date&per_page=1&page={n}") for n in (1, 2)]
    assert [p["hits"][0]["id"] for p in pages] == [MARKUP_NAME, "sub dir/en.pdf"]
    assert [p["total"] for p in pages] == [2, 2] and [p["has_next"] for p in pages] == [True, False]

    status, _, body = call(site, "/search", "q=volcano+ash&lang=en&sort=date&per_page=1&page=2")
    page = body.decode()
    assert status == 200 and "2 documents · showing 2" in page
    assert '<span class="current" aria-current="page">2</span>' in page
    # The links keep every choice, the page aside.
    assert 'href="/search?q=volcano%20ash&amp;lang=en&amp;sort=date&amp;per_page=1"' in page
    assert '<option value="date" selected>' in page


def test_results_name_languages_and_reserve_room_for_thumbnails(server):
    port, _ = server
    page = get(port, "/search?q=lava+river")[2].decode()
    assert '<span class="language">English</span>' in page
    assert '<span class="language">Portuguese</span>' in page
    assert re.search(r'<img class="thumb" loading="lazy" src="[^"]+" width="\d+" height="\d+" '
                     r'alt="Page 1 of pt.pdf">', page)
    assert re.search(r'<meter class="score" min="0" max="100" value="\d+"', page)
    # The filters offer what the index holds.
    for option in ('value="pt">Portuguese', 'value="video">Videos', 'value="sub dir">sub dir',
                   'value="../other">../other'):
        assert option in page


def test_the_document_view_marks_the_query_and_leads_back(server):
    port, _ = server
    target = ("/documents/sub%20dir%2Fen.pdf?page=2&q=telescopes+galaxies&lang=en"
              "&sort=date&from=3")
    page = get(port, target)[2].decode()
    text = page.split('id="page-text"', 1)[1].split("</div>", 1)[0]
    assert {m.lower() for m in re.findall(r"<mark>([^<]*)</mark>", text)} == {"telescopes", "galaxies"}
    # Each word's box on the page image, in the page's own units (420 x 300).
    assert 'viewBox="0 0 420.0 300.0"' in page
    assert len(re.findall(r'<rect x="[\d.]+" y="[\d.]+" width="[\d.]+" height="[\d.]+">', page)) == 2
    assert 'href="/search?q=telescopes%20galaxies&amp;lang=en&amp;sort=date&amp;page=3"' in page
    assert 'href="/files/sub%20dir%2Fen.pdf"' in page
    assert 'href="/api/pages/sub%20dir%2Fen.pdf/2.png?size=large"' in page
    # The page links keep the search.
    assert 'href="/documents/sub%20dir%2Fen.pdf?page=1&amp;q=telescopes%20galaxies' in page

    plain = get(port, "/documents/sub%20dir%2Fen.pdf")[2].decode()
    assert "<mark>" not in plain and "<rect" not in plain and 'class="back" href="/"' in plain
    assert "The volcano woke up" in plain  # the first page's text
    # A search that does not check out is left behind, the document shown.
    status, _, odd = get(port, "/documents/sub%20dir%2Fen.pdf?q=volcano&lang=xx")
    assert status == 200 and 'class="back" href="/"' in odd.decode()
    status, _, large = get(port, "/api/pages/sub%20dir%2Fen.pdf/2.png?size=large")
    assert status == 200 and int.from_bytes(large[16:20], "big") == 2000


@pytest.mark.parametrize("source, values, expected", [
    ("<b>{{x}}</b>", {"x": "<i>&\"'"}, "<b>&lt;i&gt;&amp;&quot;&#39;</b>"),
    ("{{#items}}[{{name}}:{{outer}}]{{/items}}", {"items": [{"name": "a"}, {"name": "<b>"}], "outer": 1},
     "[a:1][&lt;b&gt;:1]"),
    ("{{#on}}yes{{/on}}{{^on}}no{{/on}}", {"on": False}, "no"),
    ("{{#t}}<p>{{t}}</p>{{/t}}{{^t}}empty{{/t}}", {"t": ""}, "empty"),
    ("{{#t}}<p>{{t}}</p>{{/t}}", {"t": "x"}, "<p>x</p>"),
    ("{{^items}}none{{/items}}", {"items": []}, "none"),
    ("a{{! a note for the designer }}b", {}, "ab"),
    ("{{>head}}|{{ x }}", {"x": "<"}, "H&lt;|&lt;"),
])
def test_the_template_language_escapes_every_value(source, values, expected):
    from wrapper import Console
    assert Console._fill_template(source, values, {"head": "H{{x}}"}) == expected


@pytest.mark.parametrize("source, values, fault", [
    ("{{missing}}", {}, "no value for {{missing}}"),
    ("{{{x}}}", {"x": "<"}, "not a tag"),
    ("{{&x}}", {"x": "<"}, "not a tag"),
    ("{{#a}}x", {"a": True}, "is not closed"),
    ("{{#a}}{{/b}}", {"a": True}, "closes the section {{#a}}"),
    ("{{/a}}", {}, "closes no section"),
    ("{{x", {"x": "1"}, "not closed with }}"),
    ("{{items}}", {"items": []}, "is a list or a flag"),
    ("{{>nowhere}}", {}, "no template"),
    ("{{>loop}}", {}, "includes itself"),
])
def test_the_template_language_refuses_what_would_go_wrong_quietly(source, values, fault):
    from wrapper import Console
    with pytest.raises(ValueError, match=re.escape(fault)):
        Console._fill_template(source, values, {"loop": "{{>loop}}"})


def test_entities_are_listed_once_with_their_count_the_rare_folded(tmp_path):
    from wrapper import Console
    docs = tmp_path / "docs"
    docs.mkdir()
    text_pdf(docs / "news.pdf", "The mayor of Lisbon, Maria Silva, met the Red Cross in Lisbon. Maria Silva "
                                "said the Red Cross would help Lisbon. If the rain stops, Porto will be safe.")
    index_cleanly(docs, tmp_path / "base")
    site = Console._Site(str(tmp_path / "base"))
    page = call(site, "/documents/news.pdf")[2].decode()
    entities = page.split('id="entities"', 1)[1].split("</aside>", 1)[0]
    folded = "".join(re.findall(r"<details>.*?</details>", entities, re.S))
    shown = re.sub(r"<details>.*?</details>", "", entities, flags=re.S)
    chips = re.findall(r"<li>([^<]*) <span class=\"count\"[^>]*>(\d+)</span>", shown)
    assert ("Lisbon", "3") in chips and ("Maria Silva", "2") in chips
    assert [text for text, _ in chips].count("Lisbon") == 1
    assert "Porto" not in shown and "Porto" in folded  # named once, beside names named more
    assert entities.index("Places") < entities.index("People")  # the most mentioned first


def test_on_an_image_without_text_the_words_are_found_by_ocr(server):
    port, _ = server
    words = {"harbour", "containers"}
    page = get(port, "/documents/crane.png?q=harbour+containers&lang=en")[2].decode()
    text = page.split('id="page-text"', 1)[1].split("</div>", 1)[0]
    assert {m.lower() for m in re.findall(r"<mark>([^<]*)</mark>", text)} == words
    # The boxes are in the shown image's pixels, 1000 wide.
    assert re.search(r'viewBox="0 0 1000\.0 \d+\.0"', page)
    assert len(re.findall(r"<rect ", page)) == len(words)


@pytest.mark.parametrize("target", [
    "/search?q=" + quote("\"><script>x()</script>") + "&lang=en",
    "/search?q=" + quote("\"><script>x()</script>") + "&kind=doc",
    "/documents/pt.pdf?q=" + quote("\"><script>x()</script>") + "&from=2",
    "/documents/" + quote(MARKUP_NAME, safe="") + "?q=fumarole&lang=en",
])
def test_what_a_request_says_is_shown_escaped_wherever_it_lands(server, target):
    port, _ = server
    page = get(port, target)[2].decode()
    assert "<script>x()" not in page and "<img src=x" not in page
    # In the form's box, in links back, in the title: as text, never as markup.
    assert re.search(r'<input type="search" id="q" name="q" value="[^"<>]*"', page)
    for href in re.findall(r'href="([^"]*)"', page):
        assert not re.search(r"[<>\"' ]", href), href


def test_a_refused_choice_keeps_the_form_and_says_why(server):
    port, _ = server
    status, _, body = get(port, "/search?q=volcano&lang=en&sort=size")
    page = body.decode()
    assert status == 400 and 'class="message"' in page and "sort must be relevance or date" in page
    assert 'value="volcano"' in page and 'class="hit"' not in page


def test_head_of_an_original_gives_its_length_and_no_body(server, base):
    port, _ = server
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=600)
    conn.request("HEAD", "/files/crane.png")
    answer = conn.getresponse()
    assert answer.status == 200 and answer.read() == b""
    assert int(answer.getheader("Content-Length")) == (base.parent / "docs" / "crane.png").stat().st_size
    conn.close()


def test_a_long_document_links_its_first_last_and_nearby_pages(tmp_path):
    from wrapper import Console
    docs = tmp_path / "docs"
    docs.mkdir()
    with fitz.open() as doc:
        for n in range(1, 41):
            doc.new_page(width=300, height=200).insert_text((20, 40), f"Page {n} of the harbour ledger.")
        doc.save(docs / "ledger.pdf")
    index_cleanly(docs, tmp_path / "base")
    site = Console._Site(str(tmp_path / "base"))

    def shown(page):
        body = call(site, "/documents/ledger.pdf", f"page={page}")[2].decode()
        nav = body.split('class="pages"', 1)[1].split("</nav>", 1)[0]
        return re.findall(r'aria-label="Page (\d+)"|class="current" aria-current="page">(\d+)|(class="gap")', nav)

    def numbers(page):
        return ["…" if gap else int(a or b) for a, b, gap in shown(page)]
    assert numbers(1) == list(range(1, 12)) + ["…", 40]
    assert numbers(20) == [1, "…"] + list(range(10, 31)) + ["…", 40]
    assert numbers(40) == [1, "…"] + list(range(30, 41))
    assert numbers(12) == list(range(1, 23)) + ["…", 40]  # no gap where none is skipped
    assert call(site, "/documents/ledger.pdf", "page=41")[0] == 400


def test_an_embedding_index_with_one_model_names_no_language(tmp_path):
    from wrapper import Console
    docs = tmp_path / "docs"
    docs.mkdir()
    text_pdf(docs / "en.pdf", EN)
    done = subprocess.run([str(PROGRAM), "index", str(docs), "--base", str(tmp_path / "base"),
                           "--engine", "sb"], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    site = Console._Site(str(tmp_path / "base"))
    found = json.loads(call(site, "/api/search", "q=volcano+eruption")[2])
    assert [hit["language"] for hit in found["hits"]] == ["main"]  # the API as it was
    page = call(site, "/search", "q=volcano+eruption")[2].decode()
    assert 'class="name" href="/documents/en.pdf' in page
    assert 'class="language"' not in page and ">main<" not in page and "language main" not in page


def test_when_ocr_fails_the_view_still_shows_and_it_is_not_asked_again(base, monkeypatch):
    import pytesseract
    from wrapper import Console
    asked = []

    def out_of_time(*args, **kwargs):
        asked.append(kwargs.get("timeout"))
        raise RuntimeError("Tesseract process timeout")
    monkeypatch.setattr(pytesseract, "image_to_data", out_of_time)
    site = Console._Site(str(base))
    for _ in range(2):
        status, _, body = call(site, "/documents/crane.png", "q=harbour&lang=en")
        page = body.decode()
        assert status == 200 and "<mark>harbour</mark>" in page.lower() and "<rect" not in page
        assert "could not be found on the page image" in page
    assert len(asked) == 1 and asked[0] > 0  # with a time limit, once
