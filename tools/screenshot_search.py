"""A screenshot of a page of `wrapper serve` in Debian's headless Chromium:
screenshot_search.py URL OUTPUT.png. Used by the demonstration."""

import shutil
import sys
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service


def chromium():
    """The browser driven offline: Debian's chromium and its driver, never
    one Selenium would download."""
    browser, driver = shutil.which("chromium"), shutil.which("chromedriver")
    if not (browser and driver):
        raise SystemExit("chromium and chromium-driver are not installed (./dev setup installs them)")
    options = webdriver.ChromeOptions()
    options.binary_location = browser
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                 "--window-size=1200,1000"):
        options.add_argument(flag)
    return webdriver.Chrome(options=options, service=Service(executable_path=driver))


def main():
    url, output = sys.argv[1:3]
    driver = chromium()
    try:
        driver.set_page_load_timeout(120)
        driver.get(url)
        # Thumbnails load lazily and are rendered on first request.
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and not driver.execute_script(
                "return [...document.images].every(i => i.complete)"):
            time.sleep(0.2)
        driver.save_screenshot(output)
    finally:
        driver.quit()
    print(output)


if __name__ == "__main__":
    main()
