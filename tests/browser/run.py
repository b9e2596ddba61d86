#!/usr/bin/env python3
"""Proves the extension, the page library and the host together in headless Chromium.

  python3 tests/browser/run.py [--host-command CMD --keysim TamsuKeySim.exe] [--keep] [--only CASE ...]
  python3 tests/browser/run.py --bench web_host_bench.exe --host-command CMD --keysim TamsuKeySim.exe

CMD is the host program as a shell command (for example "wine /path/TamsuWebHost.exe"); the
browser starts it through a wrapper that records its process id. Without it, standin_host.py
answers from a scripted table. Prints one PASS or FAIL line per case; exits 1 on any failure.
With --bench, runs no case: it prints the transmit figures of a program, of the host and of a page.
"""
import argparse
import base64
import hashlib
import http.server
import json
import os
import shlex
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import urllib.parse

from webdriver import ChromeDriver, WebDriverError

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
WEB = os.path.join(ROOT, "web")
EXTENSION = os.path.join(WEB, "extension")
HOST_NAME = "com.varnelle.tamsu_zuva"
TEST_HOSTS = ("bank.test", "other.test", "nobody.test")
CHROMIUM = "/usr/lib/chromium/chromium"


def package_version():
    with open(os.path.join(ROOT, "common", "version", "version.h"), encoding="utf-8") as f:
        for line in f:
            if line.startswith("#define TAMSU_VERSION_STRING"):
                return line.split('"')[1]
    raise RuntimeError("no TAMSU_VERSION_STRING in version.h")


VERSION = package_version()

KEYS = ["\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu_zuva&rev_1.00#0001#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}",
        "\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu_zuva&rev_1.00#0002#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}"]
SELECT = "00A4040007A0000000041010"
SELECT_ANSWER = "6F108407A0000000041010A5055002414D9000"
LONG_COMMAND = bytes((i * 7 + 3) & 0xFF for i in range(4096)).hex().upper()
LONG_ANSWER = bytes((i * 13 + 5) & 0xFF for i in range(4092)).hex().upper() + "9000"
REMOVED = "80CA9F7F00"
STALL = "80DE000000"
GARBLE = "80BA000000"
# The benchmark's keys: one each for TamsuTransmit, the host's own work, the host program and the page.
BENCH_KEYS = [KEYS[0].replace("#0001#", f"#01{n}#") for n in "0123"]
BENCH_SIZES = (8, 256, 4096)


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def expect_error(result, code, what):
    check(not result["ok"], f"{what}: succeeded, expected {code}: {result}")
    check(result["isError"] and result["name"] == "TamsuError",
          f"{what}: rejected with something that is not a TamsuError: {result}")
    check(result["code"] == code, f"{what}: code {result['code']!r}, expected {code!r} "
                                  f"({result['message']})")


def expect_ok(result, what):
    check(result["ok"], f"{what}: failed with {result.get('code')}: {result.get('message')}")
    return result["value"]


def extension_id(manifest_path):
    """Chromium's ID of an extension with a fixed key: the first 128 bits of the SHA-256 of the
    key's DER SubjectPublicKeyInfo, each hex digit 0-f written as a letter a-p."""
    with open(manifest_path, encoding="utf-8") as f:
        key = base64.b64decode(json.load(f)["key"])
    digest = hashlib.sha256(key).hexdigest()[:32]
    return digest.translate(str.maketrans("0123456789abcdef", "abcdefghijklmnop"))


def make_certificate(folder):
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    names = ",".join("DNS:" + h for h in TEST_HOSTS)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=bank.test", "-addext", f"subjectAltName={names}",
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    spki = subprocess.run(["openssl", "x509", "-in", cert, "-noout", "-pubkey"], check=True,
                          capture_output=True).stdout
    der = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "DER"], input=spki, check=True,
                         capture_output=True).stdout
    return cert, key, base64.b64encode(hashlib.sha256(der).digest()).decode()


class Files(http.server.BaseHTTPRequestHandler):
    routes = {
        "/": os.path.join(HERE, "page", "index.html"),
        "/index.html": os.path.join(HERE, "page", "index.html"),
        "/page.js": os.path.join(HERE, "page", "page.js"),
        "/frame.html": os.path.join(HERE, "page", "frame.html"),
        "/frame.js": os.path.join(HERE, "page", "frame.js"),
        "/tamsu-web.js": os.path.join(WEB, "tamsu-web.js"),
    }

    def do_GET(self):
        path = self.routes.get(urllib.parse.urlsplit(self.path).path)
        if path is None:
            self.send_error(404)
            return
        with open(path, "rb") as f:
            body = f.read()
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8" if path.endswith(".html")
                         else "text/javascript; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def serve(cert=None, key=None):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Files)
    if cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


class Rig:
    """The servers, the profile with its host registration, and the browser sessions."""

    def __init__(self, work, host_command, keysim=None, bench=False):
        self.work = work
        self.ext_id = extension_id(os.path.join(EXTENSION, "manifest.json"))
        cert, key, self.spki = make_certificate(work)
        self.https = serve(cert, key)
        self.http = serve()
        self.standin = host_command is None
        self.log = os.path.join(work, "host-log.jsonl")
        self.pids = os.path.join(work, "host.pids")
        self.write_table()
        self.wrapper = os.path.join(work, "tamsu-host.sh")
        command = host_command or f"{shlex.quote(sys.executable)} " \
                                  f"{shlex.quote(os.path.join(HERE, 'standin_host.py'))}"
        with open(self.wrapper, "w", encoding="utf-8") as f:
            f.write("#!/bin/sh\n"
                    f"echo $$ >> {shlex.quote(self.pids)}\n"
                    f"export TAMSU_STANDIN_TABLE={shlex.quote(os.path.join(work, 'table.json'))}\n"
                    "export TAMSU_ALLOW_ANY_SERVER=1\n"
                    f"exec 2>>{shlex.quote(os.path.join(work, 'host-stderr.log'))}\n"
                    f"exec {command} \"$@\"\n")
        os.chmod(self.wrapper, 0o755)
        self.keysim = None
        if not self.standin:
            self.serve_real_keys(keysim, bench)
        self.driver = ChromeDriver(log_path=os.path.join(work, "chromedriver.log"))
        self.session = None
        self.profiles = 0

    def write_table(self):
        answers = os.path.join(self.work, "answers.txt")
        with open(answers, "w", encoding="utf-8") as f:
            f.write(f"{SELECT} => {SELECT_ANSWER}\n{LONG_COMMAND} => {LONG_ANSWER}\n")
        table = {"version": VERSION, "keys": KEYS, "answers": answers, "log": self.log,
                 "allowedExtensions": [f"chrome-extension://{self.ext_id}/"],
                 "allowedOrigins": [self.origin("bank.test")],
                 "errors": {REMOVED: "removed-card"}, "stall": [STALL], "garble": [GARBLE]}
        with open(os.path.join(self.work, "table.json"), "w", encoding="utf-8") as f:
            json.dump(table, f)

    def serve_real_keys(self, keysim, bench):
        """The real host, inside the caller's Wine session: its configuration in the machine's
        registry (as the setup writes it), and TamsuKeySim serving the keys. The first command
        that reaches key 0 finds it unplugged (it is back 500 ms later); the third that reaches
        key 1 is answered only after 20 s. The benchmark's keys answer 90 00 to everything."""
        self.configure_host(f"chrome-extension://{self.ext_id}/")
        answers = os.path.join(self.work, "answers.txt")
        arguments = ["wine", keysim]
        for path in BENCH_KEYS if bench else KEYS:
            arguments += ["--path", path]
        if bench:
            arguments += ["--answer", "status"]
        else:
            arguments += ["--answers", "Z:" + answers.replace("/", "\\"),
                          "--key", "0", "--unplug-after", "0", "--replug-after-ms", "500",
                          "--key", "1", "--stall-after", "2", "--stall-ms", "20000"]
        self.keysim = subprocess.Popen(arguments, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
        cli = os.path.join(os.path.dirname(keysim), "TamsuCli.exe")
        environment = dict(os.environ, TAMSU_ALLOW_ANY_SERVER="1")
        deadline = time.monotonic() + 30
        while subprocess.run(["wine", cli, "list"], stdin=subprocess.DEVNULL, capture_output=True,
                             env=environment).returncode != 0:
            check(time.monotonic() < deadline, "TamsuKeySim does not serve")
            time.sleep(0.5)

    def configure_host(self, extension):
        config = "HKLM\\Software\\Varnelle\\Tamsu_ZUVA\\WebHost"
        for name, value in (("AllowedExtensions", extension), ("AllowedOrigins", self.origin("bank.test"))):
            subprocess.run(["wine", "reg", "add", config, "/v", name, "/t", "REG_MULTI_SZ", "/d", value,
                            "/reg:32", "/f"], check=True, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def origin(self, host, secure=True):
        if secure:
            return f"https://{host}:{self.https.server_address[1]}"
        return f"http://{host}:{self.http.server_address[1]}"

    def manifest_path(self, profile):
        return os.path.join(profile, "NativeMessagingHosts", HOST_NAME + ".json")

    def start_browser(self, with_extension=True):
        self.stop_browser()
        self.profiles += 1
        self.profile = os.path.join(self.work, f"profile{self.profiles}")
        os.makedirs(os.path.dirname(self.manifest_path(self.profile)))
        self.register_host(True)
        args = ["--headless=new", f"--user-data-dir={self.profile}", "--no-first-run",
                "--disable-dev-shm-usage", "--disable-gpu",
                "--host-resolver-rules=" + ", ".join(f"MAP {h} 127.0.0.1" for h in TEST_HOSTS),
                f"--ignore-certificate-errors-spki-list={self.spki}"]
        if os.geteuid() == 0:
            args.append("--no-sandbox")
        if with_extension:
            args += [f"--load-extension={EXTENSION}", f"--disable-extensions-except={EXTENSION}"]
        self.session = self.driver.session({"binary": CHROMIUM, "args": args})

    def register_host(self, present):
        path = self.manifest_path(self.profile)
        if not present:
            os.remove(path)
            return
        with open(path, "w", encoding="utf-8") as f:
            json.dump({"name": HOST_NAME, "description": "Tamsu ZUVA (browser tests)",
                       "path": self.wrapper, "type": "stdio",
                       "allowed_origins": [f"chrome-extension://{self.ext_id}/"]}, f)

    def stop_browser(self):
        if self.session:
            self.session.quit()
            self.session = None

    def open(self, host, secure=True):
        self.session.go(self.origin(host, secure) + "/index.html")
        deadline = time.monotonic() + 10
        while self.session.run("return window.tamsuTest ? 'ready' : null;") != "ready":
            check(time.monotonic() < deadline, f"the test page on {host} did not load")
            time.sleep(0.02)

    def call(self, name, *args):
        return self.session.run_async(
            "const done = arguments[arguments.length - 1];"
            "window.tamsuTest.call(arguments[0], arguments[1]).then(done);", name, list(args))

    def js(self, function, *args):
        return self.session.run_async(
            "const done = arguments[arguments.length - 1];"
            f"Promise.resolve(window.tamsuTest.{function}(...arguments[0])).then(done);",
            list(args))

    def host_pids(self):
        try:
            with open(self.pids, encoding="utf-8") as f:
                return [int(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def host_log(self):
        try:
            with open(self.log, encoding="utf-8") as f:
                return [json.loads(line) for line in f]
        except FileNotFoundError:
            return []

    def close(self):
        self.stop_browser()
        self.driver.stop()
        if self.keysim:
            self.keysim.kill()
            self.keysim.wait()
        for pid in self.host_pids():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.https.shutdown()
        self.http.shutdown()


CASES = []


def case(function):
    CASES.append(function)
    return function


@case
def version_and_list(rig):
    """An allowed page gets the package version and the keys; the host was started for the
    extension whose ID the manifest's key gives, and the extension carries the package's version."""
    with open(os.path.join(EXTENSION, "manifest.json"), encoding="utf-8") as f:
        check(json.load(f)["version"] == VERSION, "the extension's version is not version.h's")
    rig.open("bank.test")
    got = expect_ok(rig.call("version"), "version")
    check(got == {"version": VERSION, "protocol": 1}, f"version: {got}")
    check(expect_ok(rig.call("list"), "list") == KEYS, "list: other keys than the host's")
    if rig.standin:
        starts = [e for e in rig.host_log() if e["event"] == "start"]
        check(starts and starts[-1]["args"][:1] == [f"chrome-extension://{rig.ext_id}/"],
              f"the host was started for {starts[-1]['args'] if starts else 'nobody'}")


@case
def apdu_round_trip(rig):
    """connect, a short and a 4096-byte command answered byte for byte, disconnect; the handle is
    gone afterwards."""
    rig.open("bank.test")
    handle = expect_ok(rig.call("connect", KEYS[1], {"timeoutMs": 3000}), "connect")
    check(isinstance(handle, int), f"connect gave {handle!r}")
    short = expect_ok(rig.call("transmit", handle, SELECT), "short transmit")
    check(short == {"isUint8Array": True, "hex": SELECT_ANSWER}, f"short answer: {short}")
    long = expect_ok(rig.call("transmit", handle, LONG_COMMAND, {"timeoutMs": 10000}),
                     "4096-byte transmit")
    check(long["isUint8Array"] and long["hex"] == LONG_ANSWER,
          f"4096-byte command: {len(long['hex']) // 2}-byte answer, not the expected one")
    expect_ok(rig.call("disconnect", handle), "disconnect")
    expect_error(rig.call("transmit", handle, SELECT), "unknown-handle", "transmit after disconnect")


@case
def error_codes(rig):
    """The host's error code (and its scard number) reaches the page as TamsuError.code; a command
    the library cannot send never reaches the host."""
    rig.open("bank.test")
    result = rig.call("connect", "\\\\?\\no-such-key")
    expect_error(result, "unknown-reader", "connect to an unknown path")
    check(result["scard"] == 0x80100009, f"scard {result['scard']}")
    handle = expect_ok(rig.call("connect", KEYS[0]), "connect")
    result = rig.call("transmit", handle, REMOVED)
    expect_error(result, "removed-card", "transmit to a removed key")
    check(result["scard"] == 0x80100069, f"scard {result['scard']}")
    expect_error(rig.call("transmit", handle, ""), "bad-request", "empty command")
    expect_error(rig.call("transmit", handle, "00" * 4097), "bad-request", "4097-byte command")
    expect_error(rig.call("connect", KEYS[0], {"timeoutMs": 0}), "bad-request", "timeoutMs 0")
    entry = {"indicator": 1, "layout": 0x0409, "keySelector": 2, "words": [3, 4, 5, 6]}
    expect_error(rig.call("pin", entry), "pin-unavailable", "pin without a pinpad library")
    if rig.standin:
        last = [e["message"] for e in rig.host_log() if e["event"] == "request"][-1]
        check({k: last.get(k) for k in entry} == entry, f"the host received {last}")


@case
def origin_from_browser(rig):
    """The origin the host sees is the page's own: a page of another origin that claims the
    bank's is refused by the host, and extra fields never reach it."""
    rig.open("other.test")
    expect_error(rig.call("version"), "origin-not-allowed", "version from other.test")
    replies = rig.js("raw", [{"source": "tamsu-zuva-page", "type": "request", "id": 5,
                              "command": "list", "origin": rig.origin("bank.test"),
                              "extra": "dropped"}], 1500)
    check(len(replies) == 1 and replies[0]["id"] == 5 and not replies[0]["ok"]
          and replies[0]["error"]["code"] == "origin-not-allowed",
          f"a page's own origin field was honoured: {replies}")
    if rig.standin:
        requests = [e["message"] for e in rig.host_log() if e["event"] == "request"]
        last = requests[-1]
        check(last["origin"] == rig.origin("other.test") and "extra" not in last,
              f"the host received {last}")


@case
def ids_and_order(rig):
    """Page ids of any form come back on their own replies, and answers of concurrent commands
    reach the call that sent them, in the order the host gave them."""
    rig.open("bank.test")
    page = {"source": "tamsu-zuva-page", "type": "request"}
    replies = rig.js("raw", [{**page, "id": "first", "command": "list"},
                             {**page, "id": -3, "command": "version"},
                             {**page, "id": 2.5, "command": "list"}], 1500)
    by_id = {json.dumps(r["id"]): r for r in replies}
    check(len(replies) == 3 and set(by_id) == {'"first"', "-3", "2.5"},
          f"replies to page ids: {replies}")
    check(by_id['"first"'].get("keys") == KEYS and by_id["2.5"].get("keys") == KEYS
          and by_id["-3"].get("version") == VERSION, f"replies mixed up: {replies}")
    handle = expect_ok(rig.call("connect", KEYS[0]), "connect")
    commands = [f"00B0{i:04X}{i + 1:02X}" + "AB" * i for i in range(12)]
    outcome = rig.js("together", [["transmit", [handle, c]] for c in commands])
    for command, result in zip(commands, outcome["results"]):
        got = expect_ok(result, f"transmit {command[:10]}")["hex"]
        check(got == command + "9000", f"the answer to {command[:10]} was {got[:20]}")
    check(outcome["order"] == list(range(12)), f"replies settled in order {outcome['order']}")


@case
def bad_page_messages(rig):
    """Messages that are not the library's are ignored; malformed requests get an error reply,
    and one too large for the host is refused before it can end the host."""
    rig.open("bank.test")
    logged = len(rig.host_log())
    page = {"source": "tamsu-zuva-page", "type": "request"}
    replies = rig.js("raw", [
        {**page, "id": 1, "command": "version"},
        "a string", {"source": "someone-else", "type": "request", "id": 2, "command": "list"},
        {"source": "tamsu-zuva-page", "type": "nonsense", "id": 3},
        {**page, "command": "version"},
        {**page, "id": 4, "command": "format"},
        {**page, "id": 5, "command": "transmit", "handle": 1, "apdu": "00" * 40000},
        {**page, "id": 6, "command": "version"}], 2000)
    got = {json.dumps(r["id"]): (r["ok"], r.get("error", {}).get("code")) for r in replies}
    check(len(replies) == 5 and got == {"1": (True, None), "null": (False, "bad-request"),
                                        "4": (False, "bad-request"),
                                        "5": (False, "message-too-large"), "6": (True, None)},
          f"replies: {got} ({len(replies)})")
    if rig.standin:
        seen = [e for e in rig.host_log()[logged:] if e["event"] == "request"]
        check([e["message"]["command"] for e in seen] == ["version", "version"]
              and len({e["pid"] for e in seen}) == 1,
              f"the host saw more than the two version requests, or was replaced: {seen}")


@case
def foreign_frames(rig):
    """Only the page itself is heard: a frame of another origin can neither send requests through
    the page's extension nor pass forged replies to the page's library."""
    rig.open("bank.test")
    logged = len(rig.host_log())
    rig.session.run(FRAME, rig.origin("nobody.test") + "/frame.html?mode=request")
    replies = rig.js("raw", [], 1500)
    check(replies == [], f"a frame's request was answered: {replies}")
    check(not [e for e in rig.host_log()[logged:] if e["event"] == "request"],
          "a frame's request reached the host")
    rig.open("nobody.test")
    rig.session.run(FRAME, rig.origin("bank.test") + "/frame.html?mode=forge")
    time.sleep(0.2)
    expect_error(rig.call("version"), "extension-missing", "version beside a forging frame")


FRAME = """const frame = document.createElement("iframe");
frame.src = arguments[0];
document.body.appendChild(frame);"""


@case
def bad_host_reply(rig):
    """A host reply that answers no request fails what was waiting (bad-reply), and the next
    call gets a fresh host."""
    if not rig.standin:
        return "needs the stand-in's garbled reply"
    rig.open("bank.test")
    handle = expect_ok(rig.call("connect", KEYS[0]), "connect")
    expect_error(rig.call("transmit", handle, GARBLE), "bad-reply", "a garbled reply")
    expect_ok(rig.call("version"), "version after a garbled reply")


@case
def silent_host(rig):
    """A host that never answers: the call fails with no-reply once its time and the library's
    grace are over."""
    if not rig.standin:
        return "needs the stand-in's stalling command"
    rig.open("bank.test")
    rig.js("settings", {"replyGraceMs": 500})
    handle = expect_ok(rig.call("connect", KEYS[0]), "connect")
    result = rig.call("transmit", handle, STALL, {"timeoutMs": 500})
    expect_error(result, "no-reply", "an unanswered transmit")
    check(900 <= result["ms"] < 5000, f"no-reply after {result['ms']:.0f} ms")


@case
def host_killed(rig):
    """The host killed while a command is in it: the waiting call fails with host-exited."""
    rig.open("bank.test")
    # The real host's command stalls in TamsuKeySim (key 1's third command).
    key = KEYS[0] if rig.standin else KEYS[1]
    handle = expect_ok(rig.call("connect", key), "connect")
    pid = rig.host_pids()[-1]
    rig.session.run("window.inFlight = window.tamsuTest.call('transmit', arguments);",
                    handle, STALL)
    deadline = time.monotonic() + 5
    while rig.standin and not any(e["event"] == "request" and e["pid"] == pid and
                                  e["message"].get("apdu") == STALL for e in rig.host_log()):
        check(time.monotonic() < deadline, "the command never reached the host")
        time.sleep(0.02)
    if not rig.standin:
        time.sleep(1)  # the command is in the key by then
    os.kill(pid, signal.SIGKILL)
    result = rig.session.run_async("window.inFlight.then(arguments[arguments.length - 1]);")
    expect_error(result, "host-exited", "transmit while the host was killed")
    check(result["ms"] < 10000, f"host-exited after {result['ms']:.0f} ms")


@case
def extension_not_listed(rig):
    """A host whose configuration lists another extension refuses every request of this one."""
    if rig.standin:
        return "the real host's configuration"
    rig.configure_host("chrome-extension://abcdefghijklmnopabcdefghijklmnop/")
    try:
        rig.open("bank.test")
        expect_error(rig.call("version"), "extension-not-allowed", "version from an extension not listed")
        expect_error(rig.call("list"), "extension-not-allowed", "list from an extension not listed")
    finally:
        rig.configure_host(f"chrome-extension://{rig.ext_id}/")


@case
def host_missing(rig):
    """No host registered: the page gets host-missing."""
    rig.register_host(False)
    try:
        rig.open("bank.test")
        expect_error(rig.call("version"), "host-missing", "version without a host")
    finally:
        rig.register_host(True)


@case
def insecure_page(rig):
    """An http page of a listed host is no secure context: refused, and no host is started."""
    before = len(rig.host_pids())
    rig.open("bank.test", secure=False)
    context = rig.js("context")
    check(context["secure"] is False and context["origin"].startswith("http:"),
          f"the test page is not what the case needs: {context}")
    expect_error(rig.call("version"), "insecure-context", "version from an http page")
    check(len(rig.host_pids()) == before, "a host was started for an http page")


@case
def page_outside_extension(rig):
    """On an origin the extension does not run on, the page gets extension-missing in about the
    stated wait."""
    rig.open("nobody.test")
    result = rig.call("version")
    expect_error(result, "extension-missing", "version on nobody.test")
    check(900 <= result["ms"] < 3000, f"extension-missing after {result['ms']:.0f} ms")


@case
def no_extension(rig):
    """A browser without the extension: extension-missing."""
    rig.start_browser(with_extension=False)
    rig.open("bank.test")
    expect_error(rig.call("version"), "extension-missing", "version without the extension")


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def median(values):
    ordered = sorted(values)
    return ordered[len(ordered) // 2] if ordered else float("nan")


def bench(rig, program, host_program, rounds):
    """The program's rows (TamsuTransmit, the host's own work, the host program), then the page's
    through the browser, on keys of their own; one table of medians in microseconds."""
    out = os.path.join(rig.work, "bench.txt")
    with open(out, "w", encoding="utf-8") as f:
        done = subprocess.run(["wine", program, windows_path(host_program), f"chrome-extension://{rig.ext_id}/",
                               rig.origin("bank.test"), *BENCH_KEYS[:3], str(rounds)],
                              stdin=subprocess.DEVNULL, stdout=f, stderr=subprocess.STDOUT,
                              env=dict(os.environ, TAMSU_ALLOW_ANY_SERVER="1"), timeout=600)
    with open(out, encoding="utf-8") as f:
        lines = f.read().splitlines()
    check(done.returncode == 0, f"{os.path.basename(program)} ended with {done.returncode}: {lines[-3:]}")
    figures = {}
    for line in lines:
        if line.startswith("row "):
            _, size, name, value, failed = line.split()
            check(failed == "0", f"{name} at {size} B: {failed} transmits failed")
            figures[(int(size), name)] = float(value)
        else:
            print(line)
    rig.start_browser()
    rig.open("bank.test")
    handle = expect_ok(rig.call("connect", BENCH_KEYS[3], {"timeoutMs": 5000}), "connect")
    for size in BENCH_SIZES:
        command = bytes((i * 7 + 3) & 0xFF for i in range(size)).hex().upper()
        rig.js("timeTransmits", handle, command, 10)
        timed = rig.js("timeTransmits", handle, command, rounds)
        check(timed.get("ok"), f"page transmit of {size} B: {timed}")
        figures[(size, "page")] = median(timed["times"]) * 1000
    print(f"\nA page's transmit against TamsuTransmit, medians of {rounds} (microseconds):")
    print(f"  {'':44}" + "".join(f"{f'{size} B':>10}" for size in BENCH_SIZES))
    rows = (("TamsuTransmit from a program", "native"), ("host's own work per request", "own"),
            ("TamsuWebHost.exe through its standard I/O", "program"), ("a page, through the browser", "page"))
    for label, name in rows:
        print(f"  {label:44}" + "".join(f"{figures[(size, name)]:10.1f}" for size in BENCH_SIZES))
    print(f"  {'host adds to TamsuTransmit (target <= 10 %)':44}" +
          "".join(f"{100 * figures[(size, 'own')] / figures[(size, 'native')]:9.1f}%" for size in BENCH_SIZES))
    print(f"  {'browser and extension (page - host program)':44}" +
          "".join(f"{figures[(size, 'page')] - figures[(size, 'program')]:10.1f}" for size in BENCH_SIZES))
    print(f"  {'browser share of the page time':44}" +
          "".join(f"{100 * (1 - figures[(size, 'program')] / figures[(size, 'page')]):9.1f}%"
                  for size in BENCH_SIZES))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host-command", help="the host program as a shell command")
    parser.add_argument("--keysim", help="TamsuKeySim.exe, which serves the keys to the real host "
                                         "(run inside a Wine session)")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    parser.add_argument("--only", nargs="*", help="run these cases only")
    parser.add_argument("--bench", help="web_host_bench.exe: print figures instead of running the cases")
    parser.add_argument("--rounds", type=int, default=200, help="transmits per size in --bench")
    options = parser.parse_args()
    if options.bench and not (options.host_command and options.keysim):
        parser.error("--bench needs --host-command and --keysim")
    for tool in ("chromedriver", "openssl", CHROMIUM):
        if not shutil.which(tool):
            print(f"FAIL setup: {tool} is missing (scripts/install-prereqs.sh installs it)")
            return 1
    work = tempfile.mkdtemp(prefix="tamsu-browser-")
    started = time.monotonic()
    failures = 0
    rig = None
    try:
        rig = Rig(work, options.host_command, options.keysim, bool(options.bench))
        if options.bench:
            bench(rig, options.bench, shlex.split(options.host_command)[-1], options.rounds)
            return 0
        rig.start_browser()
        print(f"browser ready in {time.monotonic() - started:.1f} s; extension {rig.ext_id}")
        for function in CASES:
            if options.only and function.__name__ not in options.only:
                continue
            begun = time.monotonic()
            try:
                skipped = function(rig)
            except (Failure, WebDriverError) as error:
                failures += 1
                print(f"FAIL {function.__name__}: {error}")
                continue
            except Exception:  # a harness fault is a failure too, with its trace
                failures += 1
                print(f"FAIL {function.__name__}: {traceback.format_exc().strip()}")
                continue
            took = time.monotonic() - begun
            if skipped:
                print(f"SKIP {function.__name__}: {skipped}")
            else:
                print(f"PASS {function.__name__} ({took:.1f} s)")
    except Exception:
        failures += 1
        print(f"FAIL setup: {traceback.format_exc().strip()}")
    finally:
        if rig:
            rig.close()
        if options.keep:
            print(f"work folder kept: {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)
    print(f"{'FAILED' if failures else 'PASSED'}: {failures} failure(s), "
          f"{time.monotonic() - started:.1f} s in all")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
