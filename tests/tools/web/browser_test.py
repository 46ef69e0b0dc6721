#!/usr/bin/env python3
"""The status page in a real browser: Debian's headless Chromium, driven
over its DevTools protocol on a pipe (no WebDriver, no browser download,
nothing but Python's standard library).

A history is seeded with `platewise history import` (hourly snapshots of the
corpus over the last day, a pending-sector count rising in one drive, the
listener down for five hours, and a drive that left, with an NVMe drive's
hourly snapshots beside them: its spare falling, its wear and data written
growing); a listener on a socket in a private temporary folder then serves
the page on 127.0.0.1 (a free port) and receives one live pass of both
kinds: a worn drive (an old-age attribute at its threshold), a drive without
SMART data, a drive whose model is an HTML tag, the NVMe drive, and others.
Then:
  - the front page lists every drive of /api/drives, worst verdict first,
    and the worn drive's card says why (WARNING, not FAILING NOW);
  - a drive page's chart has as many points as `platewise history SERIAL
    --attribute 197 --since 24h` lists;
  - the NVMe drive has its card (DEGRADING by its spare), and its page the
    health log as a table and the charts of temperature, spare, percentage
    used and data written, the spare's with as many points as `platewise
    history SERIAL --field available_spare --since 24h` lists;
  - no console error or exception, no script on the page, no request to
    anything but the listener on 127.0.0.1;
  - the answers carry the Content-Security-Policy and nosniff headers, and
    the hostile model shows as text;
  - screenshots at phone and desktop sizes, light and dark, are saved in
    OUT (build/browser by default).
Exit 0 when every check passes; prints each check and the time taken.
"""
import argparse
import base64
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

RECORD = 1537
SNAPSHOT = 1 + 32 * RECORD
HOSTILE_MODEL = "<img src=x onerror=alert(1)>"
RISING = "WDC_WD5000AAKS--00TMA0-12.01C01.rec"
LEFT = "Maxtor_96147H8--BAC51KJ0.rec"
LIVE = ["ST9100821AS--3.CME.rec", RISING, "TOSHIBA_MK1651GSY--38IGT0G5T.rec",
        "INTEL_SSDSA2MH080G1GC--045C8820.rec", "SAMSUNG_MP0804H--UE100-14.rec"]
NVME_SNAPSHOT = 278800
NVME_SLOT = 8712
NVME_MODEL = "PLATEWISE NVME 1TB"
NVME_SERIAL = "PWNVME-0001"
NVME_AT = 5  # its slot: after the live pass's five SATA drives
RANK = {"failing_now": 0, "degrading": 1, "failed_past": 2, "warning": 3, "missing": 4, "no_smart_data": 5,
        "ok": 6}

failures = []


def check(ok, what, detail=""):
    print(("ok   " if ok else "FAIL ") + what + ("" if ok or not detail else ": " + str(detail)[:400]))
    if not ok:
        failures.append(what)


# --- snapshots ---------------------------------------------------------------

def put_ata_string(record, first_word, words, text):
    """IDENTIFY strings: two characters per word, the first in the high byte."""
    text = text.ljust(words * 2)[: words * 2]
    for i, c in enumerate(text):
        word = first_word + i // 2
        record[1 + word * 2 + (1 if i % 2 == 0 else 0)] = ord(c)


def set_raw(record, attribute_id, raw):
    values = 1 + 512
    for slot in range(30):
        entry = values + 2 + 12 * slot
        if record[entry] == attribute_id:
            record[entry + 5: entry + 11] = raw.to_bytes(6, "little")
            return
    raise SystemExit(f"attribute {attribute_id} not in the record")


def snapshot(records):
    data = bytearray(SNAPSHOT)
    data[0] = len(records) + 1
    for i, r in enumerate(records):
        data[1 + i * RECORD: 1 + (i + 1) * RECORD] = r
    return bytes(data)


def nvme_snapshot(count, health):
    """An NVMe snapshot as the service sends it: the slots before NVME_AT
    hold drives that are not NVMe, NVME_AT the NVMe drive with `health`
    (warning, kelvin, spare, used, written, hours), the rest absent."""
    data = bytearray(NVME_SNAPSHOT)
    data[0:8] = b"PWNVME\r\n"
    data[8] = 1
    data[10] = count
    for slot in range(NVME_AT):
        data[16 + slot * NVME_SLOT] = 2  # not NVMe
    base = 16 + NVME_AT * NVME_SLOT
    data[base] = 1  # answered: all three pages read
    data[base + 4] = 1  # namespace 1

    def put(offset, value, size):
        data[offset: offset + size] = value.to_bytes(size, "little")

    def text(offset, size, value):
        data[offset: offset + size] = value.ljust(size).encode()

    controller, namespace, log = base + 8, base + 4104, base + 8200
    put(controller, 0x1b36, 2)
    text(controller + 4, 20, NVME_SERIAL)
    text(controller + 24, 40, NVME_MODEL)
    text(controller + 64, 8, "2.1.0")
    put(controller + 266, 353, 2)  # warning at 80 C
    put(controller + 268, 358, 2)
    blocks = 1953525168  # 1 TB of 512-byte blocks
    for field in (0, 8, 16):
        put(namespace + field, blocks, 8)
    data[namespace + 130] = 9  # LBA format 0: 2^9 bytes
    data[namespace + 120: namespace + 128] = bytes.fromhex("0025385b71b0c4d1")  # EUI-64
    put(log, health["warning"], 1)
    put(log + 1, health["kelvin"], 2)
    put(log + 3, health["spare"], 1)
    put(log + 4, 10, 1)
    put(log + 5, health["used"], 1)
    put(log + 32, health["written"] * 3 // 2, 16)  # data units read
    put(log + 48, health["written"], 16)
    put(log + 112, 212, 16)  # power cycles
    put(log + 128, health["hours"], 16)
    put(log + 144, 17, 16)  # unsafe shutdowns
    return bytes(data)


def nvme_health(n):
    """The NVMe drive's health log at hour n of the day: warming and
    cooling, its spare falling from 100 to 89 (11 points: DEGRADING), its
    wear and data written growing, more written in the working hours."""
    return {"warning": 0, "kelvin": 307 + (n * 5) % 9, "spare": 100 - (3 if n >= 5 else 0) - (4 if n >= 10 else 0)
            - (4 if n >= 14 else 0), "used": 41 + n // 8, "written": 41_000_000 + sum(900 + 600 * (k % 5)
                                                                                       for k in range(n)),
            "hours": 9000 + n}


def load(drives, name):
    with open(os.path.join(drives, name), "rb") as f:
        return bytearray(f.read())


# --- DevTools over a pipe ------------------------------------------------------

class Browser:
    def __init__(self, chromium, profile, log):
        to_browser_r, self.to_browser = os.pipe()
        self.from_browser, from_browser_w = os.pipe()

        def child_fds():
            # Out of the way first: either end may itself be 3 or 4.
            read_end = os.dup(to_browser_r)
            write_end = os.dup(from_browser_w)
            os.dup2(read_end, 3)
            os.dup2(write_end, 4)

        self.process = subprocess.Popen(
            [chromium, "--headless=new", "--remote-debugging-pipe", "--no-sandbox", "--disable-gpu",
             "--no-first-run", "--no-default-browser-check", "--disable-background-networking",
             "--disable-component-update", "--disable-sync", "--disable-extensions",
             "--disable-default-apps", "--metrics-recording-only", "--mute-audio",
             "--user-data-dir=" + profile, "about:blank"],
            # Descriptors 3 and 4 are the protocol's pipe; every other one of
            # ours is close-on-exec (Python's default), so none leaks.
            close_fds=False, preexec_fn=child_fds,
            stdout=subprocess.DEVNULL, stderr=log)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self.buffer = b""
        self.next_id = 0
        self.events = []

    def _read_message(self, deadline):
        while b"\0" not in self.buffer:
            if time.monotonic() > deadline:
                raise TimeoutError("the browser did not answer")
            chunk = os.read(self.from_browser, 1 << 16)
            if not chunk:
                raise RuntimeError("the browser closed its pipe")
            self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def send(self, method, params=None, session=None, timeout=30):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            reply = self._read_message(deadline)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})
            self.events.append(reply)

    def wait_event(self, method, session, timeout=30):
        deadline = time.monotonic() + timeout
        for i, e in enumerate(self.events):
            if e.get("method") == method and e.get("sessionId") == session:
                return self.events.pop(i)
        while True:
            e = self._read_message(deadline)
            if e.get("method") == method and e.get("sessionId") == session:
                return e
            self.events.append(e)

    def close(self):
        try:
            self.send("Browser.close", timeout=5)
        except Exception:
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


class Page:
    def __init__(self, browser):
        self.b = browser
        target = browser.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = browser.send("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        for domain in ("Page", "Runtime", "Log", "Network"):
            self.send(domain + ".enable")

    def send(self, method, params=None):
        return self.b.send(method, params, self.session)

    def open(self, url):
        self.b.events = [e for e in self.b.events if e.get("method") != "Page.loadEventFired"]
        self.send("Page.navigate", {"url": url})
        self.b.wait_event("Page.loadEventFired", self.session)

    def js(self, expression):
        result = self.send("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def screenshot(self, path, width, height, mobile, dark):
        self.send("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": mobile})
        self.send("Emulation.setEmulatedMedia",
                  {"features": [{"name": "prefers-color-scheme", "value": "dark" if dark else "light"}]})
        data = self.send("Page.captureScreenshot", {"format": "png"})["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))
        return self.js("document.documentElement.scrollWidth") <= width

    def problems(self):
        """Console errors, exceptions and log errors so far (a CSP violation is one)."""
        out = []
        for e in self.b.events:
            if e.get("sessionId") != self.session:
                continue
            m, p = e.get("method"), e.get("params", {})
            if m == "Runtime.exceptionThrown":
                out.append(p["exceptionDetails"].get("text"))
            elif m == "Runtime.consoleAPICalled" and p.get("type") in ("error", "assert"):
                out.append(str(p.get("args")))
            elif m == "Log.entryAdded" and p["entry"].get("level") == "error":
                out.append(p["entry"].get("text"))
        return out

    def requests(self):
        return [e["params"]["request"]["url"] for e in self.b.events
                if e.get("method") == "Network.requestWillBeSent" and e.get("sessionId") == self.session]


# --- the test ------------------------------------------------------------------

def main():
    began = time.monotonic()
    parser = argparse.ArgumentParser()
    parser.add_argument("--platewise", required=True)
    parser.add_argument("--drives", required=True, help="tests/data/drives")
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    parser.add_argument("--out", default="build/browser")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    env = dict(os.environ, TZ="UTC")

    tmp = tempfile.mkdtemp(prefix="platewise-browser-")
    listener = None
    browser = None
    drain = None
    listener_log = []
    try:
        os.chmod(tmp, 0o700)
        store = os.path.join(tmp, "history.db")
        saved = os.path.join(tmp, "saved")
        os.mkdir(saved)

        # A day of hourly snapshots: the rising drive's pending count goes up
        # every three hours; the listener was down from 14 h to 9 h ago; the
        # Maxtor left 10 hours ago.
        now = int(time.time())
        hours = [h for h in range(23, 0, -1) if not 9 < h < 14]
        for n, h in enumerate(hours):
            rising = load(args.drives, RISING)
            set_raw(rising, 197, n // 3)
            records = [rising] + ([load(args.drives, LEFT)] if h > 10 else [])
            name = time.strftime("snapshot-%Y%m%d-%H%M%S-000.bin", time.gmtime(now - h * 3600))
            with open(os.path.join(saved, name), "wb") as f:
                f.write(snapshot(records))
            with open(os.path.join(saved, name.replace("snapshot-", "nvme-")), "wb") as f:
                f.write(nvme_snapshot(NVME_AT + 2, nvme_health(n)))
        last_count = (len(hours) - 1) // 3
        subprocess.run([args.platewise, "history", "import", "--store", store, saved], env=env, check=True,
                       stdout=subprocess.DEVNULL)

        endpoint = os.path.join(tmp, "endpoint")
        listener = subprocess.Popen(
            [args.platewise, "listen", "--endpoint", endpoint, "--history", store, "--missing-after", "7200",
             "--web", "127.0.0.1:0", "--metrics", "127.0.0.1:0"],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        port = None
        for line in listener.stderr:
            m = re.search(r"serving the status page on 127\.0\.0\.1:0 \(port (\d+)\)", line)
            port = int(m.group(1)) if m else port
            if "listening on" in line:
                break
        if port is None:
            raise SystemExit("the listener did not serve the page")
        # The rest of its log, read as it comes so that it never blocks.
        listener_log = []
        drain = threading.Thread(target=lambda: listener_log.extend(listener.stderr), daemon=True)
        drain.start()
        base = f"http://127.0.0.1:{port}"

        live = [load(args.drives, name) for name in LIVE]
        set_raw(live[1], 197, last_count)
        put_ata_string(live[2], 27, 20, HOSTILE_MODEL)
        live[3][1 + 512: 1 + 1024] = bytes(512)  # SMART READ DATA empty
        # The NVMe drive's slot answers no ATA: an empty record, as the
        # service sends it. Its NVMe snapshot goes first, to the socket
        # beside the ATA one, so that the pass knows the slot is NVMe.
        live.append(bytearray(RECORD))
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.connect(endpoint + "-nvme")
            s.sendall(nvme_snapshot(len(live) + 1, nvme_health(len(hours))))
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.connect(endpoint)
            s.sendall(snapshot(live))

        # Wait until the live pass is in the history.
        deadline = time.monotonic() + 90
        while True:
            with urllib.request.urlopen(base + "/api/drives", timeout=10) as r:
                drives = json.load(r)["drives"]
            if len(drives) == 7 and sum(d["last_seen"] >= now - 5 for d in drives) == 6:
                break
            if time.monotonic() > deadline:
                raise SystemExit(f"the live pass did not reach the history: {drives}")
            time.sleep(0.5)

        with urllib.request.urlopen(base + "/", timeout=10) as r:
            csp = r.headers.get("Content-Security-Policy", "")
            check(csp.startswith("default-src 'none'; style-src 'self'") and "unsafe" not in csp,
                  "the page's Content-Security-Policy allows nothing but its own style sheet", csp)
            check(r.headers.get("X-Content-Type-Options") == "nosniff", "X-Content-Type-Options: nosniff")
        with urllib.request.urlopen(base + "/metrics", timeout=10) as r:
            metrics = r.read().decode()
            check("\nplatewise_drives 5\n" in metrics, "/metrics is served beside the page", metrics[-300:])
        request = urllib.request.Request(base + "/", method="POST", data=b"")
        try:
            urllib.request.urlopen(request, timeout=10)
            check(False, "POST is refused")
        except urllib.error.HTTPError as e:
            check(e.code == 405, "POST is refused", e.code)

        browser_log = open(os.path.join(args.out, "chromium.log"), "w")
        browser = Browser(args.chromium, os.path.join(tmp, "profile"), browser_log)
        page = Page(browser)

        page.open(base + "/")
        cards = page.js("""Array.from(document.querySelectorAll('.card')).map(c => ({
            verdict: c.className.replace('card v-', ''),
            badge: c.querySelector('.badge').textContent,
            model: c.querySelector('h2').textContent,
            why: (c.querySelector('.why') || {textContent: ''}).textContent,
            serial: c.querySelector('dd').textContent}))""")
        expected = sorted(d["serial"] for d in drives)
        check(sorted(c["serial"] for c in cards) == expected, "the front page lists every drive", cards)
        ranks = [RANK[c["verdict"]] for c in cards]
        check(ranks == sorted(ranks), "cards are ordered worst first", [c["badge"] for c in cards])
        by_serial = {d["serial"]: d for d in drives}
        check(all(by_serial[c["serial"]]["verdict_code"] == c["verdict"] for c in cards),
              "each card shows the verdict that status gives")
        for code in ("warning", "degrading", "no_smart_data"):
            check(code in [c["verdict"] for c in cards], f"a drive is {code}")
        # The drive that left has old damage: WARNING heads its verdict, and
        # it is missing as well.
        check(any("drive missing: not seen since" in c["why"].lower() for c in cards),
              "a drive is missing", [c["why"] for c in cards])
        # Its start/stop count (old-age) at the threshold: wear, not failure.
        worn = [c for c in cards if c["why"].startswith("WARNING: attribute 4 Start Stop Count at its threshold")]
        check(bool(worn) and worn[0]["verdict"] == "warning", "the worn drive's card says why", worn)
        check(any(c["model"] == HOSTILE_MODEL for c in cards), "the hostile model shows as text")
        nvme_cards = [c for c in cards if c["serial"] == NVME_SERIAL]
        check(len(nvme_cards) == 1 and nvme_cards[0]["model"] == NVME_MODEL and nvme_cards[0]["verdict"] == "degrading"
              and "available spare 89% down 11 points from baseline 100%" in nvme_cards[0]["why"],
              "the NVMe drive's card: DEGRADING by its spare", nvme_cards)
        nvme_facts = page.js(f"""Array.from(document.querySelectorAll('.card'))
            .filter(c => c.querySelector('dd').textContent === {json.dumps(NVME_SERIAL)})
            .map(c => Array.from(c.querySelectorAll('dt')).map(t => t.textContent + ': ' +
                                                                  t.nextElementSibling.textContent))[0]""") or []
        for fact in ("Kind: NVMe", "Percentage used: 43", "Available spare: 89", "Data written: ", "Temperature: "):
            check(any(f.startswith(fact) for f in nvme_facts), f"the NVMe card says {fact.rstrip(': ')}", nvme_facts)
        check(page.js(f"""(() => {{ const c = Array.from(document.querySelectorAll('.card')).filter(
                  c => c.querySelector('dd').textContent === {json.dumps(NVME_SERIAL)})[0];
                  return !!c && c.getBoundingClientRect().bottom <= 900; }})()"""),
              "the NVMe card is in the desktop screenshot's first screen")
        check(page.js("document.images.length + document.scripts.length") == 0,
              "no image and no script on the page (the hostile model made none)")
        shots = [("front-desktop.png", 1280, 900, False, False), ("front-phone.png", 390, 844, True, False),
                 ("front-desktop-dark.png", 1280, 900, False, True), ("front-phone-dark.png", 390, 844, True, True)]
        for name, w, h, mobile, dark in shots:
            fits = page.screenshot(os.path.join(args.out, name), w, h, mobile, dark)
            check(fits, f"{name}: nothing wider than the window")
        page.send("Emulation.clearDeviceMetricsOverride")

        serial = [d["serial"] for d in drives if d["verdict_code"] == "degrading" and d["kind"] == "ata"][0]
        link = page.js(f"""Array.from(document.querySelectorAll('.card h2 a'))
                          .filter(a => a.closest('.card').querySelector('dd').textContent === {json.dumps(serial)})
                          .map(a => a.href)[0]""")
        page.open(link)
        listed = json.loads(subprocess.run(
            [args.platewise, "history", serial, "--store", store, "--attribute", "197", "--since", "24h", "--json"],
            env=env, check=True, capture_output=True, text=True).stdout)["drives"][0]["readings"]
        points = page.js("document.querySelectorAll('figure[id$=\"-197\"] circle').length")
        check(points == len(listed) and points > 10,
              "the drive page's chart of attribute 197 has as many points as the history holds",
              f"{points} drawn, {len(listed)} in the history")
        check(page.js("document.querySelectorAll('figure[id$=\"-197\"] rect.gap').length") == 1,
              "the five hours without the listener are a gap")
        check(page.js("document.querySelectorAll('th[scope=col]').length") >= 7, "the attribute table has headers")
        for name, w, h, mobile, dark in [("drive-desktop.png", 1280, 1400, False, False),
                                         ("drive-phone.png", 390, 844, True, False),
                                         ("drive-desktop-dark.png", 1280, 1400, False, True)]:
            fits = page.screenshot(os.path.join(args.out, name), w, h, mobile, dark)
            check(fits, f"{name}: nothing wider than the window")
        # The charts on their own, for the README.
        page.send("Emulation.setDeviceMetricsOverride",
                  {"width": 1000, "height": 900, "deviceScaleFactor": 1, "mobile": False})
        page.send("Emulation.setEmulatedMedia",
                  {"features": [{"name": "prefers-color-scheme", "value": "light"}]})
        box = page.js("""(() => { const top = document.querySelector('.ranges').getBoundingClientRect();
                          const f = document.querySelector('figure[id$="-197"]').getBoundingClientRect();
                          return {y: top.top + window.scrollY - 40, bottom: f.bottom + window.scrollY + 8}; })()""")
        data = page.send("Page.captureScreenshot", {
            "format": "png", "captureBeyondViewport": True,
            "clip": {"x": 0, "y": box["y"], "width": 1000, "height": box["bottom"] - box["y"], "scale": 1}})["data"]
        with open(os.path.join(args.out, "drive-charts.png"), "wb") as f:
            f.write(base64.b64decode(data))
        page.send("Emulation.clearDeviceMetricsOverride")
        page.open(link.split("?")[0] + "?range=week")
        check(page.js("document.querySelector('.ranges a[aria-current=page]').textContent") == "Last week",
              "the week's link shows the week")

        # The NVMe drive's page: its health log as a table with plain names,
        # its four charts, the spare's as many points as the history holds.
        page.open(base + "/")
        nvme_link = page.js(f"""Array.from(document.querySelectorAll('.card h2 a'))
                          .filter(a => a.closest('.card').querySelector('dd').textContent === {json.dumps(NVME_SERIAL)})
                          .map(a => a.href)[0]""")
        check(bool(nvme_link), "the NVMe card opens the drive's page", nvme_link)
        page.open(nvme_link or base + "/")
        rows = page.js("""Array.from(document.querySelectorAll('table caption')).filter(
                              c => c.textContent === 'NVMe health log as last read')
                          .map(c => Array.from(c.closest('table').querySelectorAll('tbody tr'))
                                    .map(r => r.querySelector('th,td').textContent))[0]""") or []
        check(len(rows) >= 12 and any(r.lower().startswith("available spare") for r in rows)
              and any(r.lower().startswith("percentage used") for r in rows),
              "the NVMe drive page has the health log as a table with plain names", rows)
        listed_spare = json.loads(subprocess.run(
            [args.platewise, "history", NVME_SERIAL, "--store", store, "--field", "available_spare", "--since", "24h",
             "--json"], env=env, check=True, capture_output=True, text=True).stdout)["drives"][0]["readings"]
        for chart in ("temperature", "spare", "used", "written"):
            points = page.js(f"document.querySelectorAll('figure[id$=\"-{chart}\"] circle').length")
            check(points is not None and points > 10, f"the NVMe drive page charts {chart}", points)
        spare_points = page.js("document.querySelectorAll('figure[id$=\"-spare\"] circle').length")
        check(spare_points == len(listed_spare),
              "the NVMe spare chart has as many points as the history holds",
              f"{spare_points} drawn, {len(listed_spare)} in the history")
        check(page.js("document.querySelectorAll('figure[id$=\"-spare\"] rect.gap').length") == 1,
              "the NVMe charts show the five hours without the listener as a gap")
        for name, w, h, mobile, dark in [("nvme-drive-desktop.png", 1280, 1400, False, False),
                                         ("nvme-drive-phone.png", 390, 844, True, False)]:
            fits = page.screenshot(os.path.join(args.out, name), w, h, mobile, dark)
            check(fits, f"{name}: nothing wider than the window")
        page.send("Emulation.setDeviceMetricsOverride",
                  {"width": 1000, "height": 900, "deviceScaleFactor": 1, "mobile": False})
        page.send("Emulation.setEmulatedMedia",
                  {"features": [{"name": "prefers-color-scheme", "value": "light"}]})
        box = page.js("""(() => { const top = document.querySelector('.ranges').getBoundingClientRect();
                          const f = document.querySelector('figure[id$="-written"]').getBoundingClientRect();
                          return {y: top.top + window.scrollY - 40, bottom: f.bottom + window.scrollY + 8}; })()""")
        data = page.send("Page.captureScreenshot", {
            "format": "png", "captureBeyondViewport": True,
            "clip": {"x": 0, "y": box["y"], "width": 1000, "height": box["bottom"] - box["y"], "scale": 1}})["data"]
        with open(os.path.join(args.out, "nvme-drive-charts.png"), "wb") as f:
            f.write(base64.b64decode(data))
        page.send("Emulation.clearDeviceMetricsOverride")

        # With JavaScript off the page is the same: read through the DOM
        # domain, which needs no script.
        page.send("Emulation.setScriptExecutionDisabled", {"value": True})
        page.open(base + "/")
        root = page.send("DOM.getDocument")["root"]["nodeId"]
        off = page.send("DOM.querySelectorAll", {"nodeId": root, "selector": ".card .badge"})["nodeIds"]
        check(len(off) == len(cards), "with JavaScript off the front page shows every card", len(off))
        page.send("Emulation.setScriptExecutionDisabled", {"value": False})

        problems = page.problems()
        check(not problems, "no console error, exception or policy violation", problems)
        requests = page.requests()
        outside = [u for u in requests if not u.startswith(base + "/")]
        check(not outside and len(requests) >= 5, "no request leaves the listener on 127.0.0.1",
              outside or requests)
    finally:
        if browser:
            browser.close()
        if listener:
            listener.terminate()
            try:
                status = listener.wait(timeout=10)
                check(status == 0, "the listener stops cleanly on SIGTERM", f"exit {status}")
            except subprocess.TimeoutExpired:
                listener.kill()
                listener.wait()
                check(False, "the listener stops cleanly on SIGTERM", "killed after 10 s")
            if failures and drain:
                drain.join(timeout=5)
                print("--- listener log\n" + "".join(listener_log)[-3000:])
        shutil.rmtree(tmp, ignore_errors=True)

    print(f"browser test: {len(failures)} failed, in {time.monotonic() - began:.1f} s; screenshots in {args.out}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
