"""A real SMTP server for the client's interoperability test: aiosmtpd on 127.0.0.1.

Usage: /usr/bin/python3 smtpsink.py OUTPUT.json

Listens on a port the system picks and prints it on a line of its own. Writes OUTPUT.json
when a message has been accepted: the hooks that ran (in order), the envelope, the raw
message bytes as received (base64) and what Python's own mail parser makes of them. Runs
until its standard input is closed.
"""

import asyncio
import base64
import email
import email.policy
import json
import os
import sys

from aiosmtpd.smtp import SMTP


class Recorder:
    def __init__(self, path):
        self.path = path
        self.events = []

    async def handle_RSET(self, server, session, envelope):
        self.events.append({"command": "RSET", "after_helo": session.host_name is not None})
        return "250 OK"

    async def handle_HELO(self, server, session, envelope, hostname):
        session.host_name = hostname
        self.events.append({"command": "HELO", "argument": hostname})
        return "250 " + server.hostname

    async def handle_DATA(self, server, session, envelope):
        self.events.append({"command": "DATA"})
        raw = envelope.original_content
        message = email.message_from_bytes(raw, policy=email.policy.compat32)
        charset = message.get_content_charset()
        payload = message.get_payload(decode=True)
        record = {
            "events": self.events,
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "raw": base64.b64encode(raw).decode("ascii"),
            "headers": [[k, v] for k, v in message.items()],
            "charset": charset,
            "text": payload.decode(charset) if charset else None,
        }
        # Written whole, then renamed: the test never reads half a file.
        partial = self.path + ".part"
        with open(partial, "w", encoding="utf-8") as f:
            json.dump(record, f, ensure_ascii=False)
        os.replace(partial, self.path)
        return "250 Message accepted"


async def main(path):
    loop = asyncio.get_running_loop()
    recorder = Recorder(path)
    server = await loop.create_server(
        lambda: SMTP(recorder, hostname="sink.test", decode_data=False),
        host="127.0.0.1",
        port=0,
    )
    print(server.sockets[0].getsockname()[1], flush=True)
    await loop.run_in_executor(None, sys.stdin.read)
    server.close()


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1]))
