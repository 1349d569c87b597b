#!/usr/bin/env python3
"""Opens a page in headless Chromium and reports what a person would see.

Drives Chromium through its DevTools protocol on a pipe (--remote-debugging-pipe: commands on fd 3,
replies on fd 4, each a JSON text ending in NUL), so nothing but Chromium and Python is needed.
Prints "state TEXT" each time the element #state shows another text, "detail TEXT" with it, and
"saved PATH" after a "screenshot PATH" line on standard input. Ends at end of input.
Usage: page_watcher.py URL
"""
import base64
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile

url = sys.argv[1]
to_chrome_read, to_chrome = os.pipe()
from_chrome, from_chrome_write = os.pipe()


def plumb():
    # Copies first: either pipe end may itself be fd 3 or 4.
    read_end, write_end = os.dup(to_chrome_read), os.dup(from_chrome_write)
    os.dup2(read_end, 3)
    os.dup2(write_end, 4)


profile = tempfile.mkdtemp(prefix="corvale-chromium-")
browser = subprocess.Popen(
    [shutil.which("chromium") or "chromium", "--headless", "--no-sandbox", "--disable-gpu",
     "--remote-debugging-pipe", "--user-data-dir=" + profile, "--no-first-run",
     "--window-size=420,900", "about:blank"],
    pass_fds=(3, 4), preexec_fn=plumb, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
os.close(to_chrome_read)
os.close(from_chrome_write)
pending = b""
next_id = 0


def call(method, params=None, session=None):
    global next_id, pending
    next_id += 1
    message = {"id": next_id, "method": method, "params": params or {}}
    if session:
        message["sessionId"] = session
    os.write(to_chrome, json.dumps(message).encode() + b"\0")
    while True:
        while b"\0" not in pending:
            chunk = os.read(from_chrome, 65536)
            if not chunk:
                raise SystemExit("chromium went away")
            pending += chunk
        text, pending = pending.split(b"\0", 1)
        reply = json.loads(text)
        if reply.get("id") == next_id:
            if "error" in reply:
                raise SystemExit("%s: %s" % (method, reply["error"]))
            return reply["result"]


try:
    target = call("Target.createTarget", {"url": url})["targetId"]
    session = call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
    shown = None
    while True:
        value = call("Runtime.evaluate", {
            "expression": "[document.getElementById('state').textContent,"
                          " document.getElementById('detail').textContent]",
            "returnByValue": True}, session).get("result", {}).get("value")
        if value and value[0] != shown:
            shown = value[0]
            print("state " + value[0], flush=True)
            print("detail " + value[1], flush=True)
        ready, _, _ = select.select([sys.stdin], [], [], 0.2)
        if not ready:
            continue
        line = sys.stdin.readline()
        if not line:
            break
        if line.startswith("screenshot "):
            path = line.split(" ", 1)[1].strip()
            data = call("Page.captureScreenshot", {"format": "png"}, session)["data"]
            with open(path, "wb") as out:
                out.write(base64.b64decode(data))
            print("saved " + path, flush=True)
        elif line.startswith("text "):
            element = line.split(" ", 1)[1].strip()
            text = call("Runtime.evaluate", {
                "expression": "document.getElementById(%s).textContent" % json.dumps(element),
                "returnByValue": True}, session).get("result", {}).get("value")
            print("text %s %s" % (element, text), flush=True)
finally:
    browser.kill()
    browser.wait()
    shutil.rmtree(profile, ignore_errors=True)
