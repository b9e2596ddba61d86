"""Just enough of the WebDriver protocol (JSON over HTTP) to drive chromedriver."""
import json
import socket
import subprocess
import time
import urllib.error
import urllib.request


class WebDriverError(Exception):
    pass


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class ChromeDriver:
    """A chromedriver process; each session is one browser."""

    def __init__(self, binary="chromedriver", log_path=None):
        self.port = free_port()
        args = [binary, f"--port={self.port}"]
        if log_path:
            args.append(f"--log-path={log_path}")
        self.process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while True:
            try:
                if self.request("GET", "/status").get("ready"):
                    break
            except (OSError, WebDriverError):
                pass
            if time.monotonic() > deadline or self.process.poll() is not None:
                self.stop()
                raise WebDriverError("chromedriver did not start")
            time.sleep(0.05)

    def request(self, method, path, body=None, timeout=120):
        data = None if body is None else json.dumps(body).encode("utf-8")
        req = urllib.request.Request(f"http://127.0.0.1:{self.port}{path}", data=data,
                                     method=method,
                                     headers={"Content-Type": "application/json; charset=utf-8"})
        try:
            with urllib.request.urlopen(req, timeout=timeout) as response:
                return json.load(response).get("value")
        except urllib.error.HTTPError as error:
            try:
                value = json.load(error).get("value", {})
            except ValueError:
                value = {}
            raise WebDriverError(f"{value.get('error', error.code)}: "
                                 f"{str(value.get('message', ''))[:500]}") from None

    def session(self, chrome_options):
        value = self.request("POST", "/session", {"capabilities": {"alwaysMatch": {
            "browserName": "chrome", "goog:chromeOptions": chrome_options}}})
        return Session(self, value["sessionId"])

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class Session:
    def __init__(self, driver, session_id):
        self.driver = driver
        self.path = f"/session/{session_id}"
        self.request("POST", "/timeouts", {"script": 60000, "pageLoad": 30000})

    def request(self, method, path, body=None):
        return self.driver.request(method, self.path + path, body)

    def go(self, url):
        self.request("POST", "/url", {"url": url})

    def run(self, script, *args):
        return self.request("POST", "/execute/sync", {"script": script, "args": list(args)})

    def run_async(self, script, *args):
        """Runs script with a callback as its last argument and returns what it passes to it."""
        return self.request("POST", "/execute/async", {"script": script, "args": list(args)})

    def quit(self):
        try:
            self.request("DELETE", "")
        except (OSError, WebDriverError):
            pass
