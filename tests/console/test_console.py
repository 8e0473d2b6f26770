"""The front-desk console end to end: sessions and CSRF over HTTP, then the
pages in a real browser, driven from the keyboard, with the cards checked on
the bench by the tool."""
import csv
import datetime
import os
import re
import signal
import subprocess
import time

import requests
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

from conftest import SHOTS, USERS, make_console_site, rig

COOKIE = "kestrane_session"


def test_sessions_cookies_and_csrf(tmp_path):
    site = make_console_site(tmp_path, "\n[console]\nidle_timeout = 2\n")
    try:
        users = site.dir / "state" / "users"
        assert users.stat().st_mode & 0o777 == 0o600
        assert users.read_text().count("$argon2id$") == 2 and "anna-desk-pass" not in users.read_text()
        listed = subprocess.run([rig.SERVER, "user", "list", "--config", str(site.config)], capture_output=True,
                                text=True, check=True).stdout
        assert [ln.split("\t")[:2] for ln in listed.splitlines()] == [["anna", "desk"], ["max", "manager"]]
        doc = requests.get(site.url + "/v1/openapi.json", timeout=5).json()

        def call(method, path, cookie=None, **kw):
            headers = kw.pop("headers", {})
            if cookie:
                headers["Cookie"] = f"{COOKIE}={cookie}"
            r = requests.request(method, site.url + path, headers=headers, timeout=30, **kw)
            rig.check_openapi(doc, method, path, r)
            return r

        def sign_in(name, password=None):
            return call("POST", "/v1/session", json={"name": name, "password": password or USERS[name][1]})

        assert sign_in("anna", "not-her-password").status_code == 401
        assert sign_in("nobody", "whatever-pass").status_code == 401
        r = sign_in("anna")
        assert r.status_code == 201, r.text
        value, *attrs = [a.strip() for a in r.headers["Set-Cookie"].split(";")]
        cookie = value.split("=", 1)[1]
        assert re.fullmatch(r"[0-9a-f]{64}", cookie)
        assert set(attrs) == {"Path=/", "HttpOnly", "SameSite=Strict"}  # no Secure on plain HTTP
        me = call("GET", "/v1/session", cookie).json()
        assert (me["name"], me["role"], me["site"]["areas"]) == ("anna", "desk", ["pool", "spa"])
        assert "101" in me["site"]["rooms"]

        # A change made with the cookie needs the session's CSRF token.
        for headers, status in (({}, 403), ({"X-CSRF-Token": "0" * 64}, 403), ({"X-CSRF-Token": me["csrf"]}, 200)):
            r = call("POST", "/v1/encoders/desk1/read", cookie, headers=headers)
            assert r.status_code == status, r.text
        assert r.json()["interface"] == "console" and r.json()["who"] == "anna"
        assert [(j["interface"], j["who"]) for j in site.get("/v1/jobs").json()["jobs"]] == [("console", "anna")]
        assert call("GET", "/v1/jobs", cookie).status_code == 403  # a desk's session is a desk's

        time.sleep(2.5)  # idle longer than the site's 2 s
        ended = call("GET", "/v1/encoders", cookie)
        assert ended.status_code == 401 and ended.json()["title"] == "Session ended"

        cookie = sign_in("anna").headers["Set-Cookie"].split(";")[0].split("=", 1)[1]
        subprocess.run([rig.SERVER, "user", "remove", "anna", "--config", str(site.config)], check=True,
                       capture_output=True)
        assert call("GET", "/v1/session", cookie).status_code == 401
        assert sign_in("anna").status_code == 401

        r = sign_in("max")
        cookie, csrf = r.headers["Set-Cookie"].split(";")[0].split("=", 1)[1], r.json()["csrf"]
        assert call("DELETE", "/v1/session", cookie).status_code == 403
        out = call("DELETE", "/v1/session", cookie, headers={"X-CSRF-Token": csrf})
        assert out.status_code == 204 and "Max-Age=0" in out.headers["Set-Cookie"]
        assert call("GET", "/v1/session", cookie).status_code == 401

        codes = [sign_in("max", "guess-number-%d" % i).status_code for i in range(5)] + [sign_in("max").status_code]
        assert codes == [401] * 5 + [429]
    finally:
        site.stop()


# ---- in the browser ----------------------------------------------------------------

def wait(browser, condition, timeout=10):
    return WebDriverWait(browser, timeout, poll_frequency=0.05).until(lambda b: condition())


def element(browser, id_):
    return browser.find_element(By.ID, id_)


def shot(browser, name):
    SHOTS.mkdir(parents=True, exist_ok=True)
    browser.save_screenshot(str(SHOTS / f"{name}.png"))


def sign_in(browser, site, name, screenshot=False):
    browser.get(site.url + "/")
    wait(browser, lambda: element(browser, "page-signin").is_displayed() or element(browser, "who").is_displayed())
    if element(browser, "who").is_displayed():
        element(browser, "sign-out").send_keys(Keys.ENTER)
        wait(browser, lambda: element(browser, "page-signin").is_displayed())
    element(browser, "signin-name").send_keys(name)
    element(browser, "signin-password").send_keys(USERS[name][1])
    if screenshot:
        shot(browser, "sign-in")
    element(browser, "signin-password").send_keys(Keys.ENTER)
    wait(browser, lambda: element(browser, "who").is_displayed())


def go(browser, page):
    browser.execute_script("location.hash = arguments[0]", page)
    wait(browser, lambda: element(browser, "page-" + page).is_displayed())


def result(browser, box):
    return wait(browser, lambda: element(browser, box).text)


def valid_to(card):
    """As the page says it: the year only when it is not the start's (the current one)."""
    d = datetime.datetime.strptime(card["end"], "%Y-%m-%d %H:%M")
    year = "" if card["start"].startswith(str(d.year)) else f" {d.year}"
    return f"{d.day} {d:%B}{year} {d:%H:%M}"


def jobs(site):
    return site.get("/v1/jobs?limit=1000").json()["jobs"]


def test_guest_cards_at_the_desk(site, browser):
    sign_in(browser, site, "anna", screenshot=True)
    assert element(browser, "page-guest").is_displayed()
    room = element(browser, "guest-room-1")
    room.send_keys("101", Keys.ENTER)
    message = result(browser, "guest-result")
    card = site.card("desk1")
    start = datetime.datetime.strptime(card["start"], "%Y-%m-%d %H:%M")
    end = datetime.datetime.strptime(card["end"], "%Y-%m-%d %H:%M")
    assert (card["kind"], card["rooms"][0], start.time(), end - start) == (
        "guest", 101, datetime.time(14, 0), datetime.timedelta(hours=22))
    assert message == f"Card for room 101 issued, valid to {valid_to(card)}"
    shot(browser, "guest-card")

    # The card is the last guest's: the page offers to clear it, from the keyboard.
    room.clear()
    room.send_keys("102", Keys.ENTER)
    wait(browser, lambda: element(browser, "guest-result").text.startswith(
        "The card on the encoder is not blank: clear it first"))
    assert browser.switch_to.active_element.text == "Clear the card"
    browser.switch_to.active_element.send_keys(Keys.SPACE)
    wait(browser, lambda: element(browser, "guest-result").text == "The card is blank now: issue it again.")
    assert site.card("desk1")["kind"] == "cleared"

    # A double click on the button issues one card.
    before = len(jobs(site))
    ActionChains(browser).double_click(element(browser, "guest-submit")).perform()
    wait(browser, lambda: element(browser, "guest-result").text.startswith("Card for room 102 issued"))
    time.sleep(0.5)
    assert [j["action"] for j in jobs(site)[before:]] == ["issue"]
    assert site.card("desk1")["rooms"][0] == 102

    go(browser, "read")
    element(browser, "read-read").send_keys(Keys.ENTER)
    wait(browser, lambda: element(browser, "read-card").text)
    shown = dict(zip([e.text for e in browser.find_elements(By.CSS_SELECTOR, "#read-card dt")],
                     [e.text for e in browser.find_elements(By.CSS_SELECTOR, "#read-card dd")]))
    card = site.card("desk1")
    assert (shown["Kind"], shown["Rooms"], shown["Valid to"], shown["Serial"]) == (
        "Guest", "102", valid_to(card), card["serial"])
    shot(browser, "read-card")

    # At 200 % zoom (half the CSS width) the page still fits across: nothing scrolls sideways.
    size = browser.get_window_size()
    browser.set_window_size(size["width"] // 2, size["height"])
    try:
        for page in ("guest", "read", "encoders"):
            go(browser, page)
            assert browser.execute_script("return document.documentElement.scrollWidth <= innerWidth"), page
    finally:
        browser.set_window_size(size["width"], size["height"])


def test_staff_cards_are_the_managers(site, browser):
    sign_in(browser, site, "anna")
    assert not browser.find_element(By.CSS_SELECTOR, 'a[href="#staff"]').is_displayed()
    go(browser, "staff")
    assert element(browser, "staff-refused").text == "Staff cards are issued by managers only."
    # Nor does the server take one from a desk's session, CSRF token and all.
    status = browser.execute_async_script("""
        const done = arguments[arguments.length - 1];
        const me = await (await fetch("/v1/session")).json();
        const r = await fetch("/v1/encoders/desk2/cards", {method: "POST", headers: {
            "Content-Type": "application/json", "X-CSRF-Token": me.csrf},
            body: JSON.stringify({kind: "chief", reason: "let me in", start: "2026-03-01T14:00"})});
        done(r.status);""")
    assert status == 403
    element(browser, "sign-out").send_keys(Keys.ENTER)
    wait(browser, lambda: element(browser, "notice").text == "You are signed out.")
    assert browser.execute_async_script(
        "const done = arguments[arguments.length - 1]; fetch('/v1/session').then(r => done(r.status));") == 401

    sign_in(browser, site, "max")
    go(browser, "staff")
    element(browser, "staff-encoder").send_keys("desk2")  # typed on the focused list, as a keyboard does
    element(browser, "staff-kind").send_keys("Chief")
    assert element(browser, "staff-reason").is_displayed() and not browser.find_elements(By.ID, "staff-floors")
    element(browser, "staff-reason").send_keys("night manager")
    element(browser, "staff-submit").send_keys(Keys.ENTER)
    message = result(browser, "staff-result")
    shot(browser, "staff-card")
    card = site.card("desk2")
    assert card["kind"] == "chief" and message == f"Chief card issued, valid to {valid_to(card)}"


def test_the_journal_shows_both(site, browser):
    sign_in(browser, site, "max")
    go(browser, "journal")
    rows = lambda: [[td.text for td in tr.find_elements(By.TAG_NAME, "td")]
                    for tr in browser.find_elements(By.CSS_SELECTOR, "#journal-table tbody tr")]
    wait(browser, lambda: len(rows()) == len(jobs(site)))
    table = rows()
    # Newest first: the chief card, then the desk's guest cards.
    assert table[0][1:7] == ["desk2", "max", "console", "issue", "chief", ""] and table[0][-1] == "night manager"
    assert [r[6] for r in table if r[2] == "anna" and r[4] == "issue"] == ["102", "102", "101"]
    shot(browser, "journal")
    element(browser, "journal-who").send_keys("anna")
    wait(browser, lambda: {r[2] for r in rows()} == {"anna"})
    element(browser, "journal-who").clear()
    element(browser, "journal-room").send_keys("101")
    wait(browser, lambda: [r[6] for r in rows()] == ["101"])
    element(browser, "journal-export").send_keys(Keys.ENTER)
    exported = wait(browser, lambda: [p for p in browser.downloads.glob("*.csv")])
    with open(exported[0], newline="") as f:
        lines = list(csv.reader(f))
    assert lines[0][:3] == ["created", "encoder", "who"] and [ln[6] for ln in lines[1:]] == ["101"]


def test_an_encoder_going_offline_shows_live(site, browser):
    sign_in(browser, site, "anna")
    # The desk's last choice (desk2, for the chief card) is preselected.
    wait(browser, lambda: element(browser, "guest-encoder").get_attribute("value") == "desk2")
    go(browser, "encoders")
    restarts = lambda: browser.execute_script(  # the table is drawn again on every change
        "return document.querySelector('#encoders-table tr[data-encoder=desk2] td:last-child').textContent")
    assert restarts() == "0"
    os.kill(site.worker("desk2")["pid"], signal.SIGKILL)
    wait(browser, lambda: restarts() == "1")
    changes = element(browser, "encoders-changes").text
    assert re.search(r"desk2 went offline", changes) and re.search(r"desk2: its worker restarted \(1 in all\)", changes)
    wait(browser, lambda: "desk2 is back online" in element(browser, "encoders-changes").text)
    shot(browser, "encoders")
