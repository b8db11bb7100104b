#!/usr/bin/python3
"""The server's page measured in real headless Chromium on 2,000,000 records.

Times are taken inside the page (performance.now()), from the click on Start to the rows
shown, to the final status, and from a scroll to the rows of that place shown; the server's own
time for the same search is taken with a plain HTTP request on a fresh server. Median of RUNS.

Usage: bench/page_bench.py BUILD_DIR [RUNS]   (BUILD_DIR: build/native)
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.support.ui import Select, WebDriverWait

BUILD = sys.argv[1]
RUNS = int(sys.argv[2]) if len(sys.argv) > 2 else 5
RECORDS = 2000000
PREFIX = "ИВАНОВА А.Б"  # a name prefix that matches a handful

# Clicks Start and resolves with the milliseconds until the first row is filled and until the
# final status is shown.
TIME_START = """
const done = arguments[arguments.length - 1];
const t0 = performance.now();
let first = 0;
const look = () => {
  const row = document.querySelector('#layer .row:not(.loading)');
  if (!first && row) first = performance.now() - t0;
  const status = document.getElementById('status').textContent;
  if (first && /^Scan/.test(status)) return done([first, performance.now() - t0]);
  requestAnimationFrame(look);
};
document.getElementById('start').click();
requestAnimationFrame(look);
"""

# Scrolls the list to a fraction of its height and resolves with the milliseconds until every
# row in view is filled.
TIME_SCROLL = """
const [fraction, done] = arguments;
const grid = document.getElementById('grid');
const firstShown = () => document.querySelector('#layer .row').dataset.index;
const before = firstShown();
const t0 = performance.now();
grid.scrollTop = (grid.scrollHeight - grid.clientHeight) * fraction;
const look = () => {
  const loading = document.querySelectorAll('#layer .row.loading');
  if (firstShown() !== before && loading.length === 0) {
    const asked = performance.getEntriesByType('resource').filter(e => e.startTime >= t0);
    return done([performance.now() - t0, asked.length ? asked[0].startTime - t0 : 0,
                 asked.reduce((m, e) => Math.max(m, e.responseEnd - t0), 0)]);
  }
  requestAnimationFrame(look);
};
requestAnimationFrame(look);
"""


def start_server(data):
    server = subprocess.Popen([os.path.join(BUILD, "src/vostrel-server"), "--quiet", "--listen",
                               "127.0.0.1:0", "--data", data], stdout=subprocess.PIPE, text=True)
    return server, server.stdout.readline().split()[-1]


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--lang=en-US",
                 "--window-size=1280,800"):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service(executable_path="/usr/bin/chromedriver"), options=options)


def open_search(driver, base, name):
    driver.get(base + "/")
    WebDriverWait(driver, 60).until(lambda d: d.find_elements("css selector", "#db option"))
    Select(driver.find_element("id", "db")).select_by_visible_text("Bench")
    box = driver.find_element("css selector", "#criteria input[name='Name']")
    box.clear()
    if name:
        box.send_keys(name)


def server_time(base, db_id):
    t0 = time.perf_counter()
    urllib.request.urlopen(base + "/api/search?db=" + db_id + "&limit=100").read()
    return (time.perf_counter() - t0) * 1000


def main():
    work = tempfile.mkdtemp(prefix="vostrel-page-bench-")
    data = os.path.join(work, "data")
    os.makedirs(data)
    subprocess.run([os.path.join(BUILD, "bench/vostrel-gen"), "--records", str(RECORDS), "--title",
                    "Bench", os.path.join(data, "bench.db")], check=True, capture_output=True)
    driver = browser()
    driver.set_script_timeout(300)
    figures = {"prefix rows": [], "prefix status": [], "all first rows": [], "all status": [],
               "server all": [], "scroll middle": [], "scroll middle: asked": [],
               "scroll middle: answered": [], "scroll end": [], "scroll end: asked": [],
               "scroll end: answered": []}
    try:
        for run in range(RUNS):
            # A fresh server each run: the searches scan again instead of answering kept sets.
            server, base = start_server(data)
            try:
                open_search(driver, base, PREFIX)
                rows, status = driver.execute_async_script(TIME_START)
                figures["prefix rows"].append(rows)
                figures["prefix status"].append(status)
                open_search(driver, base, "")
                rows, status = driver.execute_async_script(TIME_START)
                figures["all first rows"].append(rows)
                figures["all status"].append(status)
                for name, fraction in (("scroll middle", 0.5), ("scroll end", 1.0)):
                    shown, asked, answered = driver.execute_async_script(TIME_SCROLL, fraction)
                    figures[name].append(shown)
                    figures[name + ": asked"].append(asked)
                    figures[name + ": answered"].append(answered)
            finally:
                server.terminate()
                server.wait()
            server, base = start_server(data)
            try:
                listed = json.loads(urllib.request.urlopen(base + "/api/databases").read())
                db_id = listed["databases"][0]["id"]
                figures["server all"].append(server_time(base, db_id))
            finally:
                server.terminate()
                server.wait()
        weight = driver.execute_script(
            "return performance.getEntriesByType('navigation').concat("
            "performance.getEntriesByType('resource')).filter(e => !e.name.includes('/api/'))"
            ".reduce((sum, e) => sum + e.decodedBodySize, 0)")
    finally:
        driver.quit()
        subprocess.run(["rm", "-rf", work])
    print("page_bench: %d records, median of %d runs (ms)" % (RECORDS, RUNS))
    for name, values in figures.items():
        print("  %-24s %8.1f   (min %.1f, max %.1f)" % (name, statistics.median(values), min(values), max(values)))
    ratio = statistics.median(figures["all status"]) / statistics.median(figures["server all"])
    print("  all status / server's own time: %.2f" % ratio)
    print("  page weight: %d bytes" % weight)


if __name__ == "__main__":
    main()
