#!/usr/bin/python3
"""Debian's headless Chromium, driven through chromedriver, looks at Sentrok's status page as a
person on a phone would: the page renders, a hostile description stays text, nothing the page
does breaks its Content-Security-Policy, and a host that goes down moves to the top without the
page being reloaded.

    browser_check.py URL PASSWORD HOST_ID HOSTILE_TEXT

Prints READY once the page is read and waits for a line on standard input (the test has made the
host go down meanwhile); then prints OK, or FAIL and why, and exits 0 or 1.
"""
import base64
import sys
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait


def fail(why):
    print("FAIL: " + why, flush=True)
    sys.exit(1)


def main():
    url, password, host, hostile = sys.argv[1:5]
    profile = tempfile.TemporaryDirectory()
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--user-data-dir=" + profile.name, "--window-size=390,844"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # The driver named outright: Selenium would otherwise go looking for one to download.
    driver = webdriver.Chrome(service=Service(executable_path="/usr/bin/chromedriver"), options=options)
    try:
        token = base64.b64encode(("sentrok:" + password).encode()).decode()
        driver.execute_cdp_cmd("Network.enable", {})
        driver.execute_cdp_cmd("Network.setExtraHTTPHeaders", {"headers": {"Authorization": "Basic " + token}})
        driver.get(url)
        wait = WebDriverWait(driver, 30)
        wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#up tr[data-id='%s']" % host))
        links = [a.text for a in driver.find_elements(By.CSS_SELECTOR, "td.desc a")]
        if hostile not in links:
            fail("the hostile description is not shown as text: %r" % links)
        if driver.execute_script("return typeof window.pwned") != "undefined":
            fail("a description ran as script")
        if driver.execute_script("return document.documentElement.scrollWidth > window.innerWidth + 1"):
            fail("the page is wider than a phone's screen")
        driver.execute_script("window.sentrokMarker = 42")
        print("READY", flush=True)
        sys.stdin.readline()
        wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#down tr[data-id='%s']" % host))
        if driver.execute_script("return window.sentrokMarker") != 42:
            fail("the page was loaded again instead of updated")
        if driver.find_elements(By.CSS_SELECTOR, "#up tr[data-id='%s']" % host):
            fail("the host is still listed among those that answer")
        blocked = [e["message"] for e in driver.get_log("browser") if "Content Security Policy" in e["message"]]
        if blocked:
            fail("the Content-Security-Policy blocked: %s" % blocked)
        print("OK", flush=True)
    finally:
        driver.quit()


if __name__ == "__main__":
    main()
