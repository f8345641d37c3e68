"""Headless Chromium driven over its DevTools protocol on a pipe
(--remote-debugging-pipe: commands in on fd 3, answers out on fd 4, each
message JSON ended by a NUL byte): no port, no network, nothing to install
beyond Debian's chromium."""
import json
import os
import subprocess
import tempfile
import time


class Browser:
    def __init__(self, url, width=1200, height=1000, timeout=60):
        self.deadline = time.monotonic() + timeout
        to_chrome_r, self._to_chrome = os.pipe()
        self._from_chrome, from_chrome_w = os.pipe()
        self._profile = tempfile.TemporaryDirectory()
        # Chromium reads fd 3 and writes fd 4: move the pipe ends there.
        def place():
            import fcntl
            high_r = fcntl.fcntl(to_chrome_r, fcntl.F_DUPFD, 10)
            high_w = fcntl.fcntl(from_chrome_w, fcntl.F_DUPFD, 10)
            os.dup2(high_r, 3)  # inheritable, unlike what os.pipe() made
            os.dup2(high_w, 4)
            os.setpgid(0, 0)  # its own group, killed as a whole at the end
        self._proc = subprocess.Popen(
            ["/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
             "--remote-debugging-pipe", "--no-first-run", "--disable-quic",
             "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--user-data-dir=" + self._profile.name,
             "--window-size=%d,%d" % (width, height), "about:blank"],
            close_fds=False, preexec_fn=place,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_chrome_r)
        os.close(from_chrome_w)
        self._buffer = b""
        self._id = 0
        self._events = []
        target = self._wait_target()
        self.session = self.call("Target.attachToTarget",
                                 {"targetId": target, "flatten": True})["sessionId"]
        self.call("Page.enable", session=True)
        self.call("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False},
                  session=True)
        self.open(url)

    def _wait_target(self):
        while True:
            for t in self.call("Target.getTargets")["targetInfos"]:
                if t["type"] == "page":
                    return t["targetId"]
            self._check_time()
            time.sleep(0.05)

    def _check_time(self):
        if time.monotonic() > self.deadline:
            raise TimeoutError("the browser took too long")

    def _message(self):
        import select
        while b"\0" not in self._buffer:
            self._check_time()
            ready, _, _ = select.select([self._from_chrome], [], [], 1)
            if ready:
                chunk = os.read(self._from_chrome, 1 << 16)
                if not chunk:
                    raise EOFError("the browser ended")
                self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method, params=None, session=False):
        self._id += 1
        message = {"id": self._id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = self.session
        os.write(self._to_chrome, json.dumps(message).encode() + b"\0")
        while True:
            answer = self._message()
            if answer.get("id") == self._id:
                if "error" in answer:
                    raise RuntimeError("%s: %s" % (method, answer["error"]))
                return answer.get("result", {})
            if "method" in answer:
                self._events.append(answer["method"])

    def _wait_event(self, method):
        while method not in self._events:
            answer = self._message()
            if "method" in answer:
                self._events.append(answer["method"])
        self._events.remove(method)

    def open(self, url):
        """A new document, loaded: from about:blank first, so that a link to
        a place in the page already open loads the page again."""
        for address in ("about:blank", url):
            self._events.clear()
            self.call("Page.navigate", {"url": address}, session=True)
            self._wait_event("Page.loadEventFired")

    def reload(self):
        self._events.clear()
        self.call("Page.reload", {"ignoreCache": True}, session=True)
        self._wait_event("Page.loadEventFired")

    def eval(self, expression):
        result = self.call("Runtime.evaluate",
                           {"expression": expression, "returnByValue": True},
                           session=True)
        if "exceptionDetails" in result:
            raise RuntimeError(result["exceptionDetails"])
        return result["result"].get("value")

    def key(self, key, code):
        for kind in ("keyDown", "keyUp"):
            self.call("Input.dispatchKeyEvent",
                      {"type": kind, "key": key, "code": code,
                       "windowsVirtualKeyCode": {"ArrowLeft": 37, "ArrowRight": 39}.get(key, 0)},
                      session=True)

    def screenshot(self, path, selector=None):
        params = {"format": "png"}
        if selector:
            box = self.eval("(function(){var r=document.querySelector(%s)"
                            ".getBoundingClientRect();return [r.x+scrollX,r.y+scrollY,"
                            "r.width,r.height];})()" % json.dumps(selector))
            params["clip"] = {"x": box[0], "y": box[1], "width": box[2], "height": box[3],
                              "scale": 1}
            params["captureBeyondViewport"] = True
        import base64
        data = self.call("Page.captureScreenshot", params, session=True)["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def close(self):
        try:
            self.call("Browser.close")
        except Exception:
            pass
        try:
            self._proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            os.killpg(self._proc.pid, 9)
            self._proc.wait()
        os.close(self._to_chrome)
        os.close(self._from_chrome)
        self._profile.cleanup()
