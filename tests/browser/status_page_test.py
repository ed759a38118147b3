#!/usr/bin/python3
"""The status page in a real headless Chromium against the real daemon: sign in
with the token, see the count, find a client by search, release it after
confirming, see the count drop. With --screenshot PATH it only saves a picture
of the page instead.

Exit status: 0 passed, 1 failed, 77 skipped (no browser or driver here)."""

import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:
    print("skipped: python3-selenium is not installed")
    sys.exit(77)

TOKEN = "browser-test-token"
CLIENTS = [("alpha-1.example", "mail"), ("alpha-2.example", "mail"),
           ("beta-1.example", "chat")]
EXTRA_APPS = ["mail", "chat", "calendar", "files", "notes"]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Daemon:
    """tallyd in the foreground with its own configuration under /etc/opt."""

    def __init__(self, tallyd, client):
        self.client = client
        self.port, self.admin = free_port(), free_port()
        self.config = tempfile.mkdtemp(prefix="tally-browser-", dir="/etc/opt")
        self.work = tempfile.mkdtemp(prefix="tally-browser-")
        with open(os.path.join(self.config, "token"), "w") as f:
            f.write(TOKEN + "\n")
        with open(os.path.join(self.config, "tallyd.conf"), "w") as f:
            f.write(f"[tallyd]\nadmin-listen = 127.0.0.1:{self.admin}\n"
                    f"admin-token-file = {self.config}/token\n")
        self.log = open(os.path.join(self.work, "out.log"), "w+")
        self.process = subprocess.Popen(
            [tallyd, "--standalone", "--port", str(self.port),
             "--datadir", os.path.basename(self.config)],
            cwd=self.work, stdout=self.log, stderr=subprocess.STDOUT)
        self.wait_for_line("Admin interface on")

    def output(self):
        self.log.seek(0)
        return self.log.read()

    def wait_for_line(self, text, seconds=10):
        deadline = time.monotonic() + seconds
        while text not in self.output():
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise AssertionError(f"no line {text!r} from tallyd:\n{self.output()}")
            time.sleep(0.05)

    def login(self, unique, app):
        subprocess.run([self.client, "--port", str(self.port), "login",
                        "--unique", unique, "--app", app],
                       check=True, stdout=subprocess.DEVNULL)

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)
        shutil.rmtree(self.config)
        shutil.rmtree(self.work)


def browser(width, height, dark=False):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                f"--window-size={width},{height}"]:
        options.add_argument(arg)
    if dark:
        options.add_argument("--force-dark-mode")
        options.add_argument("--blink-settings=preferredColorScheme=0")
    service = Service("/usr/bin/chromedriver")
    return webdriver.Chrome(options=options, service=service)


def sign_in(driver, daemon):
    driver.get(f"http://127.0.0.1:{daemon.admin}/")
    wait = WebDriverWait(driver, 15, ignored_exceptions=[StaleElementReferenceException])
    wait.until(lambda d: d.find_element(By.ID, "login").is_displayed())
    driver.find_element(By.ID, "token").send_keys(TOKEN + "\n")
    return wait


def text_of(driver, element_id):
    return driver.find_element(By.ID, element_id).text


# Read in one script: the page redraws its rows every 5 s, which would stale
# elements picked one by one.
def texts(driver, selector):
    return driver.execute_script(
        "return [...document.querySelectorAll(arguments[0])].map(e => e.textContent)", selector)


def chart_labels(driver):
    return texts(driver, "#chart text")


def list_ids(driver):
    return texts(driver, "#list tbody tr > td:first-child")


def check(daemon, driver):
    wait = sign_in(driver, daemon)
    wait.until(lambda d: text_of(d, "clients") == "3")
    assert len(driver.find_elements(By.CSS_SELECTOR, "#apps tbody tr")) == 2
    wait.until(lambda d: d.find_element(By.CSS_SELECTOR, "[data-range='year']").click() or True)
    wait.until(lambda d: text_of(d, "range-name") == "1 year")
    # Redrawn over a year: dates on the axis where hours were.
    wait.until(lambda d: "now" in chart_labels(d) and "−24 h" not in chart_labels(d))
    assert text_of(driver, "state") == ""

    Select(driver.find_element(By.ID, "search-field")).select_by_value("prefix")
    driver.find_element(By.ID, "search-text").send_keys("beta\n")
    wait.until(lambda d: list_ids(d) == ["beta-1.example"])

    # Clicked inside the wait: a redraw between finding the button and clicking it is retried.
    wait.until(lambda d: d.find_element(
        By.CSS_SELECTOR, "[aria-label='Release beta-1.example']").click() or True)
    wait.until(lambda d: d.find_element(By.ID, "confirm").is_displayed())
    assert "beta-1.example" in text_of(driver, "confirm-text")
    driver.find_element(By.ID, "confirm-release").click()
    wait.until(lambda d: text_of(d, "clients") == "2")
    wait.until(lambda d: list_ids(d) == ["No clients match."])
    daemon.wait_for_line("Disconnect(Admin) : 127.0.0.1")


def screenshot(daemon, path):
    for i in range(1, 41):
        daemon.login(f"host-{i:03}.example", EXTRA_APPS[min(i % 9, len(EXTRA_APPS) - 1)])
    driver = browser(1100, 1500)
    try:
        wait = sign_in(driver, daemon)
        wait.until(lambda d: text_of(d, "clients") == "43")
        wait.until(lambda d: text_of(d, "rate") != "–")
        driver.save_screenshot(path)
    finally:
        driver.quit()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tallyd", required=True)
    parser.add_argument("--client", required=True)
    parser.add_argument("--screenshot")
    args = parser.parse_args()
    if not (os.path.exists("/usr/bin/chromium") and os.path.exists("/usr/bin/chromedriver")):
        print("skipped: chromium or chromium-driver is not installed")
        return 77
    daemon = Daemon(args.tallyd, args.client)
    try:
        for unique, app in CLIENTS:
            daemon.login(unique, app)
        if args.screenshot:
            screenshot(daemon, args.screenshot)
            return 0
        driver = browser(900, 1200)
        try:
            check(daemon, driver)
        finally:
            driver.quit()
    finally:
        daemon.stop()
    print("status page: signed in, searched, released; the count dropped")
    return 0


if __name__ == "__main__":
    sys.exit(main())
