"""Screenshots of `wrapper serve` in Debian's headless Chromium, at a phone's
width (390 px) and a desktop's (1280 px): the results page at URL, then the
document view of its first hit.

    screenshot_search.py URL OUTPUT_DIR

writes OUTPUT_DIR/search-390.png, search-1280.png, document-390.png and
document-1280.png, and prints each with the page's width against the
window's. Fails when a page is wider than its window. Used by the
demonstration."""

import pathlib
import shutil
import sys
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

WIDTHS = (390, 1280)


def chromium():
    """The browser driven offline: Debian's chromium and its driver, never
    one Selenium would download."""
    browser, driver = shutil.which("chromium"), shutil.which("chromedriver")
    if not (browser and driver):
        raise SystemExit("chromium and chromium-driver are not installed (./dev setup installs them)")
    options = webdriver.ChromeOptions()
    options.binary_location = browser
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                 "--window-size=1280,1000", "--hide-scrollbars"):
        options.add_argument(flag)
    return webdriver.Chrome(options=options, service=Service(executable_path=driver))


def shoot(driver, url, width, output):
    """The page at `width`, as tall as its content (up to 4000 px)."""
    phone = width < 600
    metrics = {"width": width, "height": 844 if phone else 900, "deviceScaleFactor": 1, "mobile": phone}
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", metrics)
    driver.get(url)
    # Thumbnails load lazily and are rendered on first request.
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and not driver.execute_script(
            "return [...document.images].every(i => i.complete)"):
        time.sleep(0.2)
    page_width, height = driver.execute_script(
        "return [document.documentElement.scrollWidth, document.documentElement.scrollHeight]")
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           dict(metrics, height=min(max(height, metrics["height"]), 4000)))
    time.sleep(0.3)
    driver.save_screenshot(str(output))
    print(f"{output}: page {page_width} px wide in a {width} px window, {height} px tall")
    return page_width <= width


def main():
    url, out = sys.argv[1], pathlib.Path(sys.argv[2])
    out.mkdir(parents=True, exist_ok=True)
    driver = chromium()
    fits = True
    try:
        driver.set_page_load_timeout(120)
        driver.get(url)
        first = driver.find_elements(By.CSS_SELECTOR, "a.name")
        document = first[0].get_attribute("href") if first else None
        for width in WIDTHS:
            fits &= shoot(driver, url, width, out / f"search-{width}.png")
            if document:
                fits &= shoot(driver, document, width, out / f"document-{width}.png")
    finally:
        driver.quit()
    return 0 if fits else 1


if __name__ == "__main__":
    sys.exit(main())
