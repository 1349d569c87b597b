#!/usr/bin/env python3
"""A NUT server that follows nobody, for the tests of an agent's STARTTLS: it logs every line a
client sends, in clear or inside TLS, and answers STARTTLS with its certificate (--cert, --key)
or, without them, as a server without TLS does. Prints "port N" once it listens; stops when
standard input closes."""
import argparse
import socket
import ssl
import sys
import threading

parser = argparse.ArgumentParser()
parser.add_argument("--cert")
parser.add_argument("--key")
parser.add_argument("--log", required=True)
args = parser.parse_args()

context = None
if args.cert:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
lock = threading.Lock()


def heard(line):
    with lock, open(args.log, "a") as log:
        log.write(line + "\n")


def lines(conn):
    data = b""
    while True:
        while b"\n" in data:
            line, data = data.split(b"\n", 1)
            yield line.decode("latin-1").rstrip("\r")
        chunk = conn.recv(4096)
        if not chunk:
            return
        data += chunk


def serve(conn):
    try:
        for line in lines(conn):
            heard(line)
            if line == "STARTTLS":
                if context is None:
                    conn.sendall(b"ERR FEATURE-NOT-CONFIGURED\n")
                    continue
                conn.sendall(b"OK STARTTLS\n")
                try:
                    conn = context.wrap_socket(conn, server_side=True)
                except (ssl.SSLError, OSError) as error:
                    heard("handshake failed: " + str(error))
                    return
                for inner in lines(conn):
                    heard(inner)
                    conn.sendall(b"OK\n")
                return
            conn.sendall(b"OK\n")
    except OSError:
        pass
    finally:
        conn.close()


listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
listener.bind(("127.0.0.1", 0))
listener.listen(8)
print("port", listener.getsockname()[1], flush=True)


def accept():
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


threading.Thread(target=accept, daemon=True).start()
sys.stdin.read()
