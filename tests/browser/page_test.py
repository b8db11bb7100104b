#!/usr/bin/python3
"""The page of vostrel-server in real headless Chromium, at a phone's size and a desktop's.

Starts its own server on a free loopback port over databases it makes, drives the page as a
user does and holds what it shows against vostrel-cli's answers for the same files. axe-core
is injected on every page and on a result; the browser's console must stay free of errors.

Usage: page_test.py SERVER CLI GEN AXE_JS WORKDIR
"""
import json
import os
import shutil
import subprocess
import sys
import time
import urllib.parse
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select, WebDriverWait

SERVER, CLI, GEN, AXE_JS, WORK = sys.argv[1:6]
# The phone in Russian and the light scheme, the desktop in English and the dark scheme: the
# first visit follows the browser's language, and axe checks the contrast of both schemes.
SIZES = [(390, 844, "ru-RU", "light"), (1280, 800, "en-US", "dark")]
BIG_RECORDS = 400000  # more rows than a browser can lay out at 44 px each: the list scales
HOSTILE_TITLE = "<script>&x"
HOSTILE_NAME = "O<SCRIPT>ALERT(1)</SCRIPT> & CO"
WAIT = 120  # seconds a step may take on a loaded machine before the test gives up

failures = []
SERVER_PROCESS = [None]


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what, flush=True)
    return condition


def run(*args):
    return subprocess.run(args, check=True, capture_output=True).stdout


def make_databases():
    shutil.rmtree(WORK, ignore_errors=True)
    data = os.path.join(WORK, "data")
    os.makedirs(data)
    run(GEN, "--records", "3000", "--seed", "7", "--title", "Demo", os.path.join(data, "demo.db"))
    run(GEN, "--records", str(BIG_RECORDS), "--title", "Big", os.path.join(data, "big.zdb"))
    table = os.path.join(WORK, "hostile.tsv")
    with open(table, "w", encoding="utf-8") as f:
        f.write("Phone\tName\tStreet\tHouse\tFlat\n")
        f.write("1234567\t" + HOSTILE_NAME + "\tA&B <b>ST</b>\t1\t2\n7654321\tIVANOV\tLENINA\t3\t4\n")
    run(CLI, "make", "--title", HOSTILE_TITLE, table, os.path.join(data, "hostile.db"))
    # A file whose records are cut: its scans end early with a message.
    cut = os.path.join(data, "cut.db")
    run(GEN, "--records", "3000", "--seed", "9", "--title", "Cut", cut)
    os.truncate(cut, os.path.getsize(cut) // 2)
    # A file named as a database that is none: never listed, named by Setup's Check.
    with open(os.path.join(data, "broken.db"), "wb") as f:
        f.write(b"not a directory")
    return data


def cli_rows(path, *criteria):
    """vostrel-cli's rows for the search, without the header line."""
    out = run(CLI, "search", "--format", "tsv", path, *criteria).decode("utf-8")
    return [line.split("\t") for line in out.split("\n")[1:] if line]


def start_server(*args):
    server = subprocess.Popen([SERVER, "--listen", "127.0.0.1:0", "--quiet", *args],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = server.stdout.readline()
    if not line.startswith("listening on "):
        server.kill()
        sys.exit("the server did not start: " + line + server.stderr.read())
    return server, line.split()[-1]


def get(url):
    with urllib.request.urlopen(url) as answer:
        return answer.read()


def new_browser(width, height, language, scheme):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--lang=" + language,
                 "--window-size=%d,%d" % (width, height)):
        options.add_argument(flag)
    options.add_experimental_option("prefs", {"intl.accept_languages": language})
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    service = Service(executable_path="/usr/bin/chromedriver")
    driver = webdriver.Chrome(service=service, options=options)
    # The viewport itself at the size, whatever the window's frame takes.
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
        "width": width, "height": height, "deviceScaleFactor": 1, "mobile": width < 600})
    driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {
        "features": [{"name": "prefers-color-scheme", "value": scheme}]})
    return driver


def wait(driver, condition, what):
    try:
        return WebDriverWait(driver, WAIT).until(lambda d: condition(d))
    except Exception:  # a timeout: report it as the step that did not happen
        check(False, what)
        print("  at", driver.current_url, "server", "running" if SERVER_PROCESS[0].poll() is None
              else "ended with %s" % SERVER_PROCESS[0].poll(), "page:",
              driver.execute_script("return document.body ? document.body.innerText.slice(0, 300) : ''"))
        return None


def axe(driver, where):
    """axe-core's serious and critical violations on what is shown now."""
    with open(AXE_JS, encoding="utf-8") as f:
        driver.execute_script(f.read())
    result = driver.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "axe.run(document).then(r => done(JSON.stringify(r.violations)))"
        ".catch(e => done(JSON.stringify([{id: 'axe failed', impact: 'critical', help: String(e)}])));")
    bad = [v for v in json.loads(result) if v.get("impact") in ("serious", "critical")]
    for v in bad:
        print("axe at", where, v["id"], v.get("help"), [n.get("target") for n in v.get("nodes", [])][:3])
    check(not bad, "axe: no serious or critical violations at " + where)


def no_sideways_scroll(driver, where):
    wide = driver.execute_script(
        "return document.documentElement.scrollWidth - document.documentElement.clientWidth")
    check(wide <= 0, "the page does not scroll sideways at " + where + " (%d px over)" % wide)


def visible_rows(driver):
    """The rows in the list's DOM: [(place, [values])]."""
    return driver.execute_script(
        "return [...document.querySelectorAll('#layer .row')].map(r => "
        "[Number(r.dataset.index), [...r.querySelectorAll('.cell')].map(c => c.textContent)])")


def status(driver):
    return driver.find_element(By.ID, "status").text


def choose_database(driver, title):
    Select(driver.find_element(By.ID, "db")).select_by_visible_text(title)


def open_page(driver, tab):
    driver.find_element(By.ID, "tab-" + tab).click()
    wait(driver, lambda d: d.find_element(By.ID, "page-" + tab).is_displayed(), "page " + tab + " shown")


def search_and_sort(driver, base, data, where):
    """A name prefix typed in lower case: the rows and count vostrel-cli gives, then sorted."""
    driver.get(base + "/")
    wait(driver, lambda d: len(d.find_elements(By.CSS_SELECTOR, "#db option")) == 4, "databases listed")
    if driver.execute_script("return navigator.language") == "ru-RU":
        wait(driver, lambda d: d.find_element(By.ID, "start").text == "Старт",
             "a first visit follows the browser's language")
        open_page(driver, "setup")
        Select(driver.find_element(By.ID, "language")).select_by_value("ENGLISH")
        wait(driver, lambda d: d.find_element(By.ID, "tab-search").text == "Search", "tabs in English")
        open_page(driver, "search")
    axe(driver, "Search " + where)
    no_sideways_scroll(driver, "Search " + where)
    choose_database(driver, "Demo")
    box = driver.find_element(By.CSS_SELECTOR, "#criteria input[name='Name']")
    box.send_keys("ко")
    check(box.get_attribute("value") == "КО", "the Name box upper-cases what is typed")
    expected = cli_rows(os.path.join(data, "demo.db"), "Name=ко")
    check(len(expected) > 1, "the demo has names starting КО")
    if where.startswith("390"):
        box.send_keys(Keys.ENTER)
    else:
        driver.find_element(By.ID, "start").click()
    final = "Scanned: 3000, results: %d" % len(expected)
    wait(driver, lambda d: status(d) == final, "final status '%s' (saw '%s')" % (final, status(driver)))
    # The list draws the rows at the next frame after the status.
    wait(driver, lambda d: visible_rows(d) and visible_rows(d)[0][1] == expected[0],
         "the first row is vostrel-cli's first row")
    check("result" in driver.current_url and "Name=" in driver.current_url, "the URL holds the search")
    axe(driver, "Result " + where)
    no_sideways_scroll(driver, "Result " + where)

    db = urllib.parse.parse_qs(urllib.parse.urlparse(driver.current_url).query)["db"][0]
    for desc in (False, True):
        driver.find_element(By.CSS_SELECTOR, "button[data-column='Name']").click()
        want = "descending" if desc else "ascending"
        header = "[role=columnheader][aria-sort='%s'] button[data-column='Name']" % want
        wait(driver, lambda d: d.find_elements(By.CSS_SELECTOR, header), "Name sorted " + want)
        page = json.loads(get(base + "/api/search?db=%s&Name=%s&sort=Name&lang=ENGLISH&limit=5%s" % (
            db, urllib.parse.quote("ко"), "&desc=1" if desc else "")))
        wait(driver, lambda d: [r[1] for r in visible_rows(d)[:5]] == page["rows"],
             "the rows in the server's %s order" % want)
    driver.back()
    wait(driver, lambda d: d.find_elements(By.CSS_SELECTOR, "[aria-sort='ascending']"),
         "Back goes to the ascending order")

    driver.find_elements(By.CSS_SELECTOR, "#layer .row .cell")[1].click()
    wait(driver, lambda d: d.find_element(By.ID, "details").is_displayed(), "a row's details open")
    names = [e.text for e in driver.find_elements(By.CSS_SELECTOR, "#details-list dt")]
    values = [e.text for e in driver.find_elements(By.CSS_SELECTOR, "#details-list dd")]
    check(names == ["Phone", "Name", "Street", "Bldg", "Flat"], "details name every field: %s" % names)
    check(values == visible_rows(driver)[0][1], "details show the row's values")
    driver.find_element(By.ID, "details").send_keys(Keys.ESCAPE)
    wait(driver, lambda d: not d.find_element(By.ID, "details").is_displayed(), "Esc closes details")

    # Copy of the first and third rows: the header line and the two rows as TSV.
    driver.execute_cdp_cmd("Browser.grantPermissions", {
        "permissions": ["clipboardReadWrite", "clipboardSanitizedWrite"], "origin": base})
    picks = driver.find_elements(By.CSS_SELECTOR, "#layer .pick label")
    picks[0].click()
    picks[2].click()
    rows = visible_rows(driver)
    driver.find_element(By.ID, "copy").click()
    wait(driver, lambda d: status(d).startswith("Rows copied"), "the rows are copied")
    copied = driver.execute_async_script(
        "const done = arguments[0]; navigator.clipboard.readText().then(done, e => done(String(e)))")
    want = "\n".join("\t".join(r) for r in [["Phone", "Name", "Street", "House", "Flat"], rows[0][1],
                                           rows[2][1]]) + "\n"
    check(copied == want, "Copy gives the selected rows as TSV: %r" % copied)

    href = driver.find_element(By.ID, "export-csv").get_attribute("href")
    cli_csv = run(CLI, "search", "--format", "csv", os.path.join(data, "demo.db"), "Name=ко")
    exported = get(href.replace("&sort=Name", "").replace("&desc=1", ""))
    check(exported == cli_csv, "the CSV export is vostrel-cli's CSV")
    check("format=csv" in href and "sort=Name" in href, "the export link carries the order")


def scroll_to_end(driver, data, where):
    """Every record of the large file; its last row shown once scrolled to the end."""
    open_page(driver, "search")
    choose_database(driver, "Big")
    driver.find_element(By.ID, "start").click()
    final = "Scanned: %d, results: %d" % (BIG_RECORDS, BIG_RECORDS)
    wait(driver, lambda d: status(d) == final, "every record listed (saw '%s')" % status(driver))
    last = cli_rows(os.path.join(data, "big.zdb"), "Phone=*")[-1]
    driver.execute_script("const g = document.getElementById('grid'); g.scrollTop = g.scrollHeight;")
    wait(driver, lambda d: visible_rows(d) and visible_rows(d)[-1] == [BIG_RECORDS - 1, last],
         "the last row shown at the end of the list " + where)
    check(len(visible_rows(driver)) < 60, "only the rows in view are in the page")
    grid = driver.find_element(By.ID, "grid")
    grid.send_keys(Keys.HOME)
    wait(driver, lambda d: visible_rows(d)[0][0] == 0, "Home goes back to the first row")
    grid.send_keys(Keys.ARROW_DOWN, Keys.ARROW_DOWN)
    # Home made the first row the active one; two rows down is the third (the header is row 1).
    # The list draws the move at the next frame.
    wait(driver, lambda d: d.execute_script(
        "const a = document.getElementById('row-active'); return a && a.getAttribute('aria-rowindex')")
         == "4", "arrows move through the rows")


def cut_file(driver, data):
    """A scan that damage ends early says so, with the server's message."""
    open_page(driver, "search")
    choose_database(driver, "Cut")
    driver.find_element(By.ID, "start").click()
    wait(driver, lambda d: d.find_element(By.ID, "damage").text != "", "the damage is reported")
    message = driver.find_element(By.ID, "damage").text
    said = subprocess.run([CLI, "search", os.path.join(data, "cut.db")], capture_output=True).stderr
    check(message != "" and message in said.decode("utf-8"), "vostrel-cli's message: " + message)
    shown = int(status(driver).split()[-1])
    check(shown == len(cli_rows(os.path.join(data, "cut.db"))), "the cut file's rows are vostrel-cli's")


def hostile_and_language(driver, where):
    open_page(driver, "search")
    choose_database(driver, HOSTILE_TITLE)  # the title is an option's text, not markup
    driver.find_element(By.ID, "start").click()
    wait(driver, lambda d: status(d) == "Scanned: 2, results: 2", "the hostile file listed")
    wait(driver, lambda d: visible_rows(d) and visible_rows(d)[0][1][1] == HOSTILE_NAME,
         "a name holding <script> and & shown as text")
    check(not driver.find_elements(By.CSS_SELECTOR, "main script, dialog script, option b"),
          "no element made from a database's text")

    open_page(driver, "setup")
    axe(driver, "Setup " + where)
    titles = [e.text for e in driver.find_elements(By.CSS_SELECTOR, "#databases td:first-child")]
    check(HOSTILE_TITLE in titles, "Setup lists the titles as text")
    driver.find_element(By.ID, "check").click()
    wait(driver, lambda d: "broken.db" in d.find_element(By.ID, "check-message").text,
         "Check names the file that is no database")
    check("demo.db" not in driver.find_element(By.ID, "check-message").text,
          "Check names only what cannot be used")
    Select(driver.find_element(By.ID, "language")).select_by_value("RUSSIAN")
    wait(driver, lambda d: d.find_element(By.ID, "tab-search").text == "Поиск", "tabs in Russian")
    open_page(driver, "result")
    wait(driver, lambda d: status(d) == "Всего: 2, найдено: 2", "the status line in Russian")
    driver.refresh()
    wait(driver, lambda d: d.find_element(By.ID, "tab-setup").text == "Опции", "the language is kept")
    open_page(driver, "about")
    axe(driver, "About " + where)
    check("@VOSTREL" not in driver.find_element(By.ID, "version").text, "About shows the version")


def sign_in(driver, data):
    """A server with a password: the page asks for it first, says when it is wrong, shows the
    directory once it is right, and signs out from Setup."""
    hashed = subprocess.run([SERVER, "--hash-password"], input=b"open sesame\n", check=True,
                            capture_output=True).stdout
    password_file = os.path.join(WORK, "password")
    with open(password_file, "wb") as f:
        f.write(hashed)
    server, base = start_server("--password-file", password_file, os.path.join(data, "demo.db"))
    try:
        driver.get(base + "/")
        form = wait(driver, lambda d: d.find_element(By.ID, "password").is_displayed() and
                    d.find_element(By.ID, "password"), "the sign-in form")
        if not form:
            return
        check(not driver.find_element(By.ID, "tabs").is_displayed(), "no pages before signing in")
        axe(driver, "sign-in")
        form.send_keys("open says me" + Keys.ENTER)
        wait(driver, lambda d: d.find_element(By.ID, "signin-message").text == "Неверный пароль",
             "a wrong password is said so")
        time.sleep(1.1)  # the first wrong password is slowed for half a second
        form.clear()
        form.send_keys("open sesame" + Keys.ENTER)
        wait(driver, lambda d: Select(d.find_element(By.ID, "db")).first_selected_option.text == "Demo",
             "signed in, the page lists the database")
        open_page(driver, "setup")
        driver.find_element(By.ID, "signout").click()
        wait(driver, lambda d: d.find_element(By.ID, "password").is_displayed(), "signed out")
        check(json.loads(get(base + "/api/session"))["signedIn"] is False, "the session has ended")
    finally:
        server.terminate()
        server.wait()


def console_errors(driver):
    return [e for e in driver.get_log("browser") if e.get("level") == "SEVERE"]


def main():
    data = make_databases()
    server, base = start_server("--data", data)
    SERVER_PROCESS[0] = server
    errors = []
    try:
        for width, height, language, scheme in SIZES:
            where = "%dx%d %s" % (width, height, scheme)
            driver = new_browser(width, height, language, scheme)
            try:
                search_and_sort(driver, base, data, where)
                scroll_to_end(driver, data, where)
                cut_file(driver, data)
                hostile_and_language(driver, where)
                errors += console_errors(driver)
                if language.startswith("ru"):
                    sign_in(driver, data)
            finally:
                driver.quit()
    finally:
        server.terminate()
        server.wait()
    for e in errors:
        print("console:", e.get("message"))
    check(not errors, "no console errors")
    print("%d failures" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
