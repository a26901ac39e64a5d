"""The gateway's page in a real browser (headless Chromium, driven by
Selenium): zelpanel trips points and the page shows them, named, without a
reload; the panel is pulled and the page shows the line lost; the gateway
stops and the page says so, then recovers by itself when it starts again;
a point named like markup shows as the text it is; the page fits a phone.

Usage: http_page_test.py BIN_DIR WORK_DIR [SCREENSHOT]
Prints the delays measured; exits 1 with the reason on the first failure.
"""
import base64
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

BIN, WORK = sys.argv[1], sys.argv[2]
SCREENSHOT = sys.argv[3] if len(sys.argv) > 3 else os.path.join(WORK, "page.png")
HOSTILE = "<img src=x onerror=alert(1)>"
UNITS = "10"  # the driver's read time-out, 0.1 s
processes = []


def fail(why):
    print("FAIL: " + why)
    for name in sorted(os.listdir(WORK)):
        if name.endswith((".out", ".log")):
            with open(os.path.join(WORK, name), errors="replace") as f:
                print("--- " + name + "\n" + f.read()[-3000:])
    sys.exit(1)


def start(name, arguments):
    out = open(os.path.join(WORK, name + ".out"), "a")
    process = subprocess.Popen(arguments, stdout=out, stderr=subprocess.STDOUT)
    processes.append(process)
    return process


def wait_line(name, pattern, seconds=20):
    """The first match of PATTERN in WORK/NAME.out, looked for every 10 ms."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        with open(os.path.join(WORK, name + ".out"), errors="replace") as f:
            found = re.search(pattern, f.read(), re.M)
        if found:
            return found
        time.sleep(0.01)
    fail("no line /%s/ in %s.out within %d s" % (pattern, name, seconds))


def start_panel(events):
    open(os.path.join(WORK, "panel.out"), "w").close()
    panel = start("panel", [BIN + "/zelpanel", "send", "--pty", "--timeout", UNITS, "--start-delay", "1", "--hold", "120"] + events)
    return panel, wait_line("panel", r"^port (\S+)$").group(1)


def start_gateway(pty, http):
    open(os.path.join(WORK, "gateway.out"), "w").close()
    gateway = start("gateway", [BIN + "/zelhost", "publish", "--port", pty, "--timeout", UNITS, "--no-mqtt",
                                "--http", http, "--points", os.path.join(WORK, "points.csv")])
    return gateway, int(wait_line("gateway", r"serving HTTP on 127\.0\.0\.1:(\d+), read-only").group(1))


def until(browser, script, seconds, why):
    """The time until SCRIPT (JavaScript) returns true, looked at every 10 ms."""
    begun = time.monotonic()
    while time.monotonic() - begun < seconds:
        if browser.execute_script(script):
            return time.monotonic() - begun
        time.sleep(0.01)
    fail("%s: not within %.1f s" % (why, seconds))


def browser_of(width, height, phone=False):
    options = webdriver.ChromeOptions()
    if phone:  # a desktop window has a least width; a phone's screen is emulated
        options.add_experimental_option("mobileEmulation", {"deviceMetrics": {"width": width, "height": height, "pixelRatio": 3}})
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--user-data-dir=" + tempfile.mkdtemp(dir=WORK), "--window-size=%d,%d" % (width, height)):
        options.add_argument(argument)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def save_whole_page(browser, path):
    """The whole page, beyond the window, as the DevTools protocol takes it (for the docs)."""
    size = browser.execute_cdp_cmd("Page.getLayoutMetrics", {})["cssContentSize"]
    shot = browser.execute_cdp_cmd("Page.captureScreenshot", {
        "format": "png", "captureBeyondViewport": True,
        "clip": {"x": 0, "y": 0, "width": size["width"], "height": size["height"], "scale": 1}})
    with open(path, "wb") as f:
        f.write(base64.b64decode(shot["data"]))


LIVE = "return !document.body.classList.contains('away')"
AWAY = ("return document.body.classList.contains('away') && "
        "document.getElementById('gateway').textContent.includes('not answering')")


def point_shown(name, kind):
    return ("return [...document.querySelectorAll('.points li.%s .name')].some(e => e.textContent === %r)" % (kind, name))


def main():
    with open(os.path.join(WORK, "points.csv"), "w") as f:
        f.write("0104130,Lobby\n0101001,%s\n0301148,Battery 3,Battery\n0202005,Stairs\n" % HOSTILE)
    panel, pty = start_panel(["wait 6", "ckt bus=1 slot=4 point=130", "wait 1", "bit0 bus=1 slot=1 point=1",
                              "battery bus=3"])
    gateway, port = start_gateway(pty, "127.0.0.1:0")
    url = "http://127.0.0.1:%d/" % port
    browser = browser_of(1000, 1000)
    try:
        browser.get(url)
        until(browser, LIVE, 5, "the page did not go live")
        if browser.execute_script(point_shown("Lobby", "alarm")):
            fail("the point showed before the panel sent it")
        # Each message: from zelpanel's line saying it went out to the page
        # showing it, without a reload (the marker set now stays).
        browser.execute_script("window.zelSamePage = true")
        wait_line("panel", r"^message 1 at", 20)
        shown = until(browser, point_shown("Lobby", "alarm"), 1.0, "the tripped point was not shown, named, as a fire alarm")
        print("tripped point shown %.3f s after the panel sent it (limit 1 s)" % shown)
        wait_line("panel", r"^message 3 at")
        until(browser, point_shown(HOSTILE, "alarm"), 1.0, "the point named like markup was not shown as its text")
        until(browser, point_shown("Battery 3", "trouble"), 1.0, "the battery was not shown as a trouble")
        if browser.execute_script("return document.querySelectorAll('img').length") != 0:
            fail("a point's name became markup")
        alarm, trouble = browser.execute_script(
            "const s = (k) => getComputedStyle(document.querySelector('.points li.' + k)).backgroundColor;"
            "return [s('alarm'), s('trouble')]")
        if alarm == trouble:
            fail("a fire alarm and a trouble look alike: %s" % alarm)
        walk = browser.execute_script("return document.querySelector('.walk').textContent")
        if "3 of 4 named points reported" not in walk or "Never reported: 1" not in walk or "Stairs" not in walk:
            fail("the walk test: " + walk)
        events = browser.execute_script("return [...document.querySelectorAll('#events li')].map(e => e.textContent)")
        if len(events) != 3 or "Battery 3" not in events[0] or "Lobby" not in events[2]:
            fail("the last events, newest first: %r" % events)
        if "UTC" not in events[0] or "(this browser)" not in events[0]:
            fail("an event's time in UTC and in the browser's: %r" % events[0])
        save_whole_page(browser, SCREENSHOT)

        # The panel is pulled: its pseudo-terminal goes away.
        pulled = time.monotonic()
        panel.send_signal(signal.SIGKILL)
        panel.wait()
        until(browser, "return document.querySelector('.line').dataset.line === 'lost'", 2.5,
              "the lost line was not shown")
        print("line lost shown %.3f s after the panel was pulled (limit 2.5 s)" % (time.monotonic() - pulled))

        # The gateway stops, and starts again on the same port.
        stopped = time.monotonic()
        gateway.send_signal(signal.SIGTERM)
        if gateway.wait(10) != 0:
            fail("the gateway exited with %d" % gateway.returncode)
        until(browser, AWAY, 5, "the page did not say the gateway is gone")
        print("gateway gone shown %.3f s after it stopped (limit 5 s)" % (time.monotonic() - stopped))
        old_run = browser.execute_script("return document.getElementById('run').textContent")
        panel, pty = start_panel(["wait 2", "shorted bus=2 slot=2 point=141"])
        gateway, _ = start_gateway(pty, "127.0.0.1:%d" % port)
        back = time.monotonic()
        until(browser, LIVE, 5, "the page did not recover when the gateway came back")
        print("page live again %.3f s after the gateway listened again" % (time.monotonic() - back))
        if browser.execute_script("return document.getElementById('run').textContent") == old_run:
            fail("the page still shows the earlier run")
        until(browser, "return document.querySelectorAll('.points li').length === 0", 2, "the new run's table is all 0")
        wait_line("panel", r"^message 1 at")
        until(browser, "return [...document.querySelectorAll('.points li.trouble .address')].some(e => e.textContent === '0202141')",
              1.0, "a point after the recovery")
        if not browser.execute_script("return window.zelSamePage === true"):
            fail("the page was reloaded")
        browser.save_screenshot(os.path.join(WORK, "recovered.png"))
    finally:
        browser.quit()

    # A phone's width: nothing wider than the screen.
    phone = browser_of(390, 800, phone=True)
    try:
        phone.get(url)
        until(phone, LIVE, 5, "the page did not go live on a phone's width")
        width, screen = phone.execute_script("return [document.documentElement.scrollWidth, window.innerWidth]")
        if screen != 390 or width > screen:
            fail("the page is %d px wide on a %d px screen (390 px meant)" % (width, screen))
    finally:
        phone.quit()
    print("PASS: the page")


try:
    main()
finally:
    for p in processes:
        if p.poll() is None:
            p.kill()
            p.wait()
