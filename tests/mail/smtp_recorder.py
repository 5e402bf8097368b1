#!/usr/bin/env python3
"""A real SMTP server on loopback for the mail tests (aiosmtpd, as Debian's
python3-aiosmtpd ships it), recording what it receives.

Usage: smtp_recorder.py RECORD_PATH

Listens on 127.0.0.1 at a free port and prints that port on the first line of
its output; runs until it is terminated. It writes three files:
  RECORD_PATH           the exchange, one line each: "C: " what the client
                        said, "S: " what the server answered
  RECORD_PATH.raw       every byte the client sent, as sent
  RECORD_PATH.messages  one JSON line per accepted message: mail_from,
                        rcpt_tos and content (the message as delivered,
                        leading dots removed), content read as Latin-1
Exits with status 77 (and prints NO-AIOSMTPD) when aiosmtpd is missing.
"""
import asyncio
import json
import sys

try:
    from aiosmtpd.smtp import SMTP
except ImportError:
    print("NO-AIOSMTPD", flush=True)
    sys.exit(77)

record_path = sys.argv[1]
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


def main():
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    server = loop.run_until_complete(
        loop.create_server(lambda: RecordingSMTP(Recorder(), hostname="recorder.test"),
                           host="127.0.0.1", port=0))
    print(server.sockets[0].getsockname()[1], flush=True)
    try:
        loop.run_forever()
    finally:
        server.close()


if __name__ == "__main__":
    main()
