#!/usr/bin/env python3
"""A mail server on loopback for the tests (Debian's python3-aiosmtpd): STARTTLS required, then
a login; each message is logged as a JSON line. With --plain it offers no STARTTLS and takes a
login in clear, each login logged too (what a man in the middle would read). Stops when standard
input closes."""
import argparse
import json
import ssl
import sys

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

parser = argparse.ArgumentParser()
parser.add_argument("--port", type=int, required=True)
parser.add_argument("--cert", required=True)
parser.add_argument("--key", required=True)
parser.add_argument("--user", required=True)
parser.add_argument("--password", required=True)
parser.add_argument("--log", required=True)
parser.add_argument("--plain", action="store_true")
args = parser.parse_args()


class Handler:
    async def handle_DATA(self, server, session, envelope):
        with open(args.log, "a") as log:
            log.write(json.dumps({"from": envelope.mail_from, "to": envelope.rcpt_tos,
                                  "content": envelope.content.decode("utf-8", "replace")}) + "\n")
        return "250 OK"


def authenticate(server, session, envelope, mechanism, auth_data):
    if args.plain:
        with open(args.log, "a") as log:
            log.write(json.dumps({"auth": mechanism, "data": repr(auth_data)}) + "\n")
    if isinstance(auth_data, LoginPassword) and auth_data.login.decode() == args.user and \
            auth_data.password.decode() == args.password:
        return AuthResult(success=True)
    return AuthResult(success=False, handled=False)


tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
tls.load_cert_chain(args.cert, args.key)
controller = Controller(Handler(), hostname="127.0.0.1", port=args.port,
                        tls_context=None if args.plain else tls,
                        require_starttls=not args.plain, authenticator=authenticate,
                        auth_require_tls=not args.plain)
controller.start()
print("ready", flush=True)
sys.stdin.read()
controller.stop()
