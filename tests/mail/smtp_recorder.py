#!/usr/bin/env python3
"""A real SMTP server on loopback for the mail tests (aiosmtpd, as Debian's
python3-aiosmtpd ships it), recording what it receives.

Usage: smtp_recorder.py RECORD_PATH [--starttls CERT KEY | --tls CERT KEY]
                         [--login USER PASSWORD] [--only LOGIN|PLAIN]

Listens on 127.0.0.1 at a free port and prints that port on the first line of
its output; runs until it is terminated. With --starttls it offers STARTTLS
and refuses mail before it; with --tls it speaks TLS from the first byte;
CERT and KEY are PEM files. With --login it asks for that login before any
mail (AUTH PLAIN and LOGIN, or only the one named by --only). It writes
three files:
  RECORD_PATH           the exchange, one line each: "C: " what the client
                        said, "S: " what the server answered
  RECORD_PATH.raw       every byte the client sent, as sent
  RECORD_PATH.messages  one JSON line per accepted message: mail_from,
                        rcpt_tos and content (the message as delivered,
                        leading dots removed), content read as Latin-1
Exits with status 77 (and prints NO-AIOSMTPD) when aiosmtpd is missing.
"""
import argparse
import asyncio
import json
import ssl
import sys
import warnings

try:
    from aiosmtpd.smtp import SMTP, AuthResult
except ImportError:
    print("NO-AIOSMTPD", flush=True)
    sys.exit(77)

arguments = argparse.ArgumentParser()
arguments.add_argument("record_path")
arguments.add_argument("--starttls", nargs=2, metavar=("CERT", "KEY"))
arguments.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
arguments.add_argument("--login", nargs=2, metavar=("USER", "PASSWORD"))
arguments.add_argument("--only", choices=["LOGIN", "PLAIN"])
options = arguments.parse_args()
record_path = options.record_path
exchange = open(record_path, "w", encoding="latin-1", newline="\n")
raw = open(record_path + ".raw", "wb", buffering=0)
messages = open(record_path + ".messages", "w", encoding="utf-8")


def note(prefix, line):
    exchange.write(prefix + line.decode("latin-1") + "\n")
    exchange.flush()


class Recorder:
    async def handle_DATA(self, server, session, envelope):
        messages.write(json.dumps({
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "content": envelope.original_content.decode("latin-1"),
        }) + "\n")
        messages.flush()
        return "250 Message accepted for delivery"


class RecordingSMTP(SMTP):
    """Notes the client's bytes as they arrive and every reply."""

    def connection_made(self, transport):
        self._client_line = b""
        self._in_data = False
        super().connection_made(transport)

    def data_received(self, data):
        raw.write(data)
        self._client_line += data
        while b"\r\n" in self._client_line:
            line, self._client_line = self._client_line.split(b"\r\n", 1)
            note("C: ", line)
        super().data_received(data)

    async def push(self, status):
        note("S: ", status.encode("latin-1") if isinstance(status, str) else status)
        await super().push(status)


def authenticator(server, session, envelope, mechanism, auth_data):
    user, password = options.login
    accepted = auth_data.login == user.encode() and auth_data.password == password.encode()
    note("A: ", ("%s %s" % (mechanism, "accepted" if accepted else "refused")).encode())
    # Not "handled": aiosmtpd then answers a refusal with its own 535.
    return AuthResult(success=accepted, handled=False)


def server_context(files):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(*files)
    return context


def make_protocol():
    settings = {"hostname": "recorder.test"}
    if options.starttls:
        settings.update(tls_context=server_context(options.starttls), require_starttls=True)
    if options.login:
        settings.update(auth_required=True, authenticator=authenticator)
        if options.only:
            settings["auth_exclude_mechanism"] = [{"LOGIN": "PLAIN", "PLAIN": "LOGIN"}[options.only]]
        if options.tls:
            # aiosmtpd counts only STARTTLS as encryption; this connection
            # was encrypted from its first byte (and the warning says so).
            warnings.simplefilter("ignore")
            settings["auth_require_tls"] = False
    return RecordingSMTP(Recorder(), **settings)


def main():
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    tls = server_context(options.tls) if options.tls else None
    server = loop.run_until_complete(loop.create_server(make_protocol, host="127.0.0.1", port=0, ssl=tls))
    print(server.sockets[0].getsockname()[1], flush=True)
    try:
        loop.run_forever()
    finally:
        server.close()


if __name__ == "__main__":
    main()
