#!/usr/bin/python3
"""Takes the README's pictures of the page vostrel-server serves, in headless Chromium.

At a phone's size (390 x 844) and a desktop's (1280 x 800), in Russian and in English (-en):
the Search page with a name typed in, the Result page with its rows, a row's details and the
Setup page. The server runs on a free loopback port over a demo directory made for the
pictures. Writes docs/screenshots/page-{search,result,details,setup}-{phone,desktop}[-en].png.

Usage: scripts/page_screenshots.py BUILD_DIR OUT_DIR [CRITERION]
"""
import os
import subprocess
import sys
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

BUILD, OUT = sys.argv[1], sys.argv[2]
CRITERION = sys.argv[3] if len(sys.argv) > 3 else "ПЕТРОВ"
SIZES = {"phone": (390, 844), "desktop": (1280, 800)}
LANGUAGES = {"": ("ru-RU", "RUSSIAN"), "-en": ("en-US", "ENGLISH")}


def browser(width, height, language):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--hide-scrollbars",
                 "--lang=" + language, "--window-size=%d,%d" % (width, height)):
        options.add_argument(flag)
    options.add_experimental_option("prefs", {"intl.accept_languages": language})
    driver = webdriver.Chrome(service=Service(executable_path="/usr/bin/chromedriver"), options=options)
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
        "width": width, "height": height, "deviceScaleFactor": 1, "mobile": width < 600})
    return driver


def until(driver, condition):
    WebDriverWait(driver, 60).until(lambda d: condition(d))


def shoot(driver, name):
    driver.save_screenshot(os.path.join(OUT, name + ".png"))
    print("wrote", name + ".png")


def pictures(base, size, suffix):
    width, height = SIZES[size]
    language, section = LANGUAGES[suffix]
    driver = browser(width, height, language)
    try:
        driver.get(base + "/")
        until(driver, lambda d: d.find_elements(By.CSS_SELECTOR, "#db option"))
        until(driver, lambda d: d.execute_script("return document.documentElement.lang") == language[:2])
        box = driver.find_element(By.CSS_SELECTOR, "#criteria input[name='Name']")
        box.send_keys(CRITERION)
        shoot(driver, "page-search-%s%s" % (size, suffix))
        driver.find_element(By.ID, "start").click()
        until(driver, lambda d: d.find_elements(By.CSS_SELECTOR, "#layer .row:not(.loading)")
              and not d.find_element(By.ID, "stop").is_displayed())
        shoot(driver, "page-result-%s%s" % (size, suffix))
        driver.find_elements(By.CSS_SELECTOR, "#layer .row .cell")[1].click()
        until(driver, lambda d: d.find_element(By.ID, "details").is_displayed())
        shoot(driver, "page-details-%s%s" % (size, suffix))
        driver.execute_script("document.getElementById('details').close()")
        driver.find_element(By.ID, "tab-setup").click()
        until(driver, lambda d: d.find_element(By.ID, "page-setup").is_displayed())
        Select(driver.find_element(By.ID, "language")).select_by_value(section)
        shoot(driver, "page-setup-%s%s" % (size, suffix))
    finally:
        driver.quit()


def main():
    os.makedirs(OUT, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="vostrel-page-shots-") as data:
        subprocess.run([os.path.join(BUILD, "bench/vostrel-gen"), "--records", "50000",
                        os.path.join(data, "moscow.db")], check=True, capture_output=True)
        server = subprocess.Popen([os.path.join(BUILD, "src/vostrel-server"), "--quiet", "--listen",
                                   "127.0.0.1:0", "--data", data], stdout=subprocess.PIPE, text=True)
        try:
            base = server.stdout.readline().split()[-1]
            for size in SIZES:
                for suffix in LANGUAGES:
                    pictures(base, size, suffix)
        finally:
            server.terminate()
            server.wait()


if __name__ == "__main__":
    main()
