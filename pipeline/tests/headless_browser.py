"""Headless Chromium driven through the DevTools protocol over a pipe (no web socket, no driver).

Chromium started with ``--remote-debugging-pipe`` reads commands from its fd 3 and writes replies
and events to its fd 4, each message JSON ended by a NUL byte. Every wait is bounded: a browser
that hangs fails the test instead of stalling it.
"""

import fcntl
import json
import os
import select
import shutil
import subprocess
import time

KEYS = {"ArrowLeft": 37, "ArrowUp": 38, "ArrowRight": 39, "ArrowDown": 40, "Home": 36, "End": 35}
TIMEOUT_S = 30.0


def chromium() -> str | None:
    return shutil.which("chromium") or shutil.which("chromium-browser")


class Browser:
    """One page of a fresh headless Chromium; ``events`` keeps every event the page's session got."""

    def __init__(self, profile):
        commands_read, self._commands = os.pipe()
        self._replies, replies_write = os.pipe()

        def pipes_on_3_and_4():
            # Out of the way first: either pipe end may itself sit on 3 or 4.
            high = [fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (commands_read, replies_write)]
            for fd, target in zip(high, (3, 4)):
                os.dup2(fd, target)

        self.process = subprocess.Popen(
            [chromium(), "--headless", "--remote-debugging-pipe", "--no-sandbox", "--disable-gpu",
             "--no-first-run", "--disable-extensions", "--disable-background-networking",
             f"--user-data-dir={profile}", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            pass_fds=(3, 4), preexec_fn=pipes_on_3_and_4)
        os.close(commands_read)
        os.close(replies_write)
        self._buffer = b""
        self._next_id = 0
        self.events = []
        self.session = None
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        for domain in ("Page", "Network", "Runtime"):
            self.call(f"{domain}.enable")

    def close(self):
        for fd in (self._commands, self._replies):
            os.close(fd)
        self.process.kill()
        self.process.wait(TIMEOUT_S)

    def _message(self, deadline: float) -> dict:
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._replies], [], [], left)[0]:
                raise TimeoutError("no answer from chromium")
            chunk = os.read(self._replies, 1 << 16)
            if not chunk:
                raise ConnectionError("chromium closed its pipe")
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method: str, **params) -> dict:
        self._next_id += 1
        request = {"id": self._next_id, "method": method, "params": params}
        if self.session is not None:
            request["sessionId"] = self.session
        os.write(self._commands, json.dumps(request).encode() + b"\0")
        deadline = time.monotonic() + TIMEOUT_S
        while True:
            message = self._message(deadline)
            if message.get("id") == self._next_id:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message["result"]
            self.events.append(message)

    def wait_for(self, method: str, since: int = 0) -> dict:
        """The first event ``method`` among those from number ``since`` on, waiting for it if need be."""
        for event in self.events[since:]:
            if event.get("method") == method:
                return event
        deadline = time.monotonic() + TIMEOUT_S
        while True:
            message = self._message(deadline)
            self.events.append(message)
            if message.get("method") == method:
                return message

    def open(self, url: str) -> None:
        since = len(self.events)
        self.call("Page.navigate", url=url)
        self.wait_for("Page.loadEventFired", since)

    def press(self, key: str) -> None:
        for kind in ("keyDown", "keyUp"):
            self.call("Input.dispatchKeyEvent", type=kind, key=key, code=key, windowsVirtualKeyCode=KEYS[key])

    def evaluate(self, expression: str):
        reply = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        if "exceptionDetails" in reply:
            raise RuntimeError(f"{expression}: {reply['exceptionDetails']}")
        return reply["result"].get("value")

    def requested(self) -> list[str]:
        return [event["params"]["request"]["url"] for event in self.events
                if event.get("method") == "Network.requestWillBeSent"]

    def errors(self) -> list[dict]:
        return [event["params"] for event in self.events if event.get("method") == "Runtime.exceptionThrown"]
