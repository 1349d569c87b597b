#!/usr/bin/env python3
"""An HTTPS receiver of notices on loopback, for the tests: it logs each request as a JSON line
and answers as its mode says. Modes, one per line on standard input: ok, refuse (not listening),
tls (a certificate nobody trusts), 500, hang (reads the request, never answers), and
refuse:EVENT:STATUS[:RETRY_AFTER] (answers STATUS, with a Retry-After when given, to the notices of
EVENT, logged with their time to LOG.refused, and takes the others as ok does)."""
import argparse
import json
import select
import socket
import ssl
import sys
import threading
import time

parser = argparse.ArgumentParser()
parser.add_argument("--cert", required=True)
parser.add_argument("--key", required=True)
parser.add_argument("--bad-cert", required=True)
parser.add_argument("--bad-key", required=True)
parser.add_argument("--log", required=True)
parser.add_argument("--mode", default="ok")
args = parser.parse_args()

state = {"mode": args.mode, "listener": None, "port": 0}
lock = threading.Lock()


def context(cert, key):
    made = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    made.load_cert_chain(cert, key)
    return made


good, bad = context(args.cert, args.key), context(args.bad_cert, args.bad_key)


def listen():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", state["port"]))
    listener.listen(16)
    state["port"] = listener.getsockname()[1]
    state["listener"] = listener


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(4096)
        if not chunk:
            return None
        data += chunk
    head, body = data.split(b"\r\n\r\n", 1)
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    length = int(headers.get("content-length", "0"))
    while len(body) < length:
        chunk = conn.recv(4096)
        if not chunk:
            break
        body += chunk
    return {"request": lines[0], "headers": headers, "body": body.decode("utf-8", "replace")}


def serve(conn):
    with lock:
        mode = state["mode"]
    try:
        tls = (bad if mode == "tls" else good).wrap_socket(conn, server_side=True)
    except (ssl.SSLError, OSError):
        conn.close()
        return
    try:
        request = read_request(tls)
        if request is None:
            return
        if mode == "hang":
            while True:
                with lock:
                    if state["mode"] != "hang":
                        break
                time.sleep(0.1)
            return
        status = "500 Internal Server Error" if mode == "500" else "200 OK"
        reply = b"the receiver broke\nsecond line\n" if mode == "500" else b"ok\n"
        extra = ""
        if mode.startswith("refuse:"):
            event, code, *wait = mode.split(":")[1:]
            try:
                refused = json.loads(request["body"]).get("event") == event
            except ValueError:
                refused = False
            if refused:
                status, reply = code + " Refused", b"not this one: " + request["request"].encode() + b"\n"
                extra = "Retry-After: %s\r\n" % wait[0] if wait else ""
                request["at"] = time.time()
                with open(args.log + ".refused", "a") as log:
                    log.write(json.dumps(request) + "\n")
            else:
                mode = "ok"
        if mode == "ok":
            request["mode"] = mode
            with open(args.log, "a") as log:
                log.write(json.dumps(request) + "\n")
        tls.sendall(("HTTP/1.1 %s\r\nContent-Length: %d\r\n%sConnection: close\r\n\r\n"
                     % (status, len(reply), extra)).encode() + reply)
    except (ssl.SSLError, OSError):
        pass
    finally:
        tls.close()


def accept_loop():
    while True:
        with lock:
            listener = state["listener"]
        if listener is None:
            time.sleep(0.05)
            continue
        try:
            ready, _, _ = select.select([listener], [], [], 0.1)
            if ready:
                conn, _ = listener.accept()
                threading.Thread(target=serve, args=(conn,), daemon=True).start()
        except (OSError, ValueError):
            time.sleep(0.05)


listen()
if args.mode == "refuse":
    state["listener"].close()
    state["listener"] = None
threading.Thread(target=accept_loop, daemon=True).start()
print("port", state["port"], flush=True)
for line in sys.stdin:
    mode = line.strip()
    with lock:
        if mode == "refuse" and state["listener"] is not None:
            state["listener"].close()
            state["listener"] = None
        elif mode != "refuse" and state["listener"] is None:
            listen()
        state["mode"] = mode
    print("mode", mode, flush=True)
