"""A real SMTP server for the client's interoperability tests: aiosmtpd on 127.0.0.1.

Usage: /usr/bin/python3 smtpsink.py OUTPUT.json [--mode plain|starttls|tls --cert PEM
       --key PEM --user NAME --password WORD --mechanisms PLAIN,LOGIN --auth-in-clear]

Listens on a port the system picks and prints it on a line of its own. Writes OUTPUT.json
when a message has been accepted: the hooks that ran (in order), the envelope, the raw
message bytes as received (base64) and what Python's own mail parser makes of them. Writes
OUTPUT.json.session.json after every step of a session: EHLO names, MAIL FROM addresses, AUTH
attempts and whether the connection was encrypted when MAIL came. Runs until its standard
input is closed.

--mode starttls offers STARTTLS with the certificate; tls speaks TLS from the first byte.
With --user, AUTH is offered (after TLS unless --auth-in-clear) with the mechanisms named.
"""

import argparse
import asyncio
import base64
import email
import email.policy
import email.utils
import json
import os
import ssl
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


def write_json(path, record):
    # Written whole, then renamed: the test never reads half a file.
    partial = path + ".part"
    with open(partial, "w", encoding="utf-8") as f:
        json.dump(record, f, ensure_ascii=False)
    os.replace(partial, path)


def encrypted(server):
    return server.transport is not None and server.transport.get_extra_info("ssl_object") is not None


class Recorder:
    def __init__(self, path, user, password):
        self.path = path
        self.user = user
        self.password = password
        self.events = []
        self.message_ids = []
        self.session = {"ehlo": [], "mail": [], "auth": [], "tls_at_mail": []}

    def note(self, key, value):
        self.session[key].append(value)
        write_json(self.path + ".session.json", self.session)

    async def handle_RSET(self, server, session, envelope):
        self.events.append({"command": "RSET", "after_helo": session.host_name is not None})
        return "250 OK"

    async def handle_HELO(self, server, session, envelope, hostname):
        session.host_name = hostname
        self.events.append({"command": "HELO", "argument": hostname})
        return "250 " + server.hostname

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        self.note("ehlo", hostname)
        return responses

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        self.note("tls_at_mail", encrypted(server))
        self.note("mail", address)
        return "250 OK"

    def authenticate(self, server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword)
              and auth_data.login.decode() == self.user
              and auth_data.password.decode() == self.password)
        self.note("auth", {"mechanism": mechanism, "login": auth_data.login.decode(), "ok": ok,
                           "encrypted": encrypted(server)})
        # handled=False: aiosmtpd answers a refusal itself (535) instead of saying nothing.
        return AuthResult(success=ok, handled=False)

    async def handle_DATA(self, server, session, envelope):
        self.events.append({"command": "DATA"})
        raw = envelope.original_content
        message = email.message_from_bytes(raw, policy=email.policy.compat32)
        charset = message.get_content_charset()
        payload = message.get_payload(decode=True)
        date = message.get("Date")
        parsed = email.utils.parsedate_to_datetime(date) if date else None
        if message.get("Message-ID"):
            self.message_ids.append(message.get("Message-ID"))
        write_json(self.path, {
            "events": self.events,
            "mail_from": envelope.mail_from,
            "mail_options": envelope.mail_options,
            "rcpt_tos": envelope.rcpt_tos,
            "raw": base64.b64encode(raw).decode("ascii"),
            "headers": [[k, v] for k, v in message.items()],
            "charset": charset,
            "text": payload.decode(charset) if charset else None,
            "date_utc": parsed.astimezone().isoformat() if parsed and parsed.tzinfo else None,
            "message_ids": self.message_ids,
        })
        return "250 Message accepted"


async def main(args):
    loop = asyncio.get_running_loop()
    recorder = Recorder(args.output, args.user, args.password)
    context = None
    if args.mode != "plain":
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)
    options = {"hostname": "sink.test", "decode_data": False}
    if args.user:
        mechanisms = set(args.mechanisms.upper().split(","))
        options["authenticator"] = recorder.authenticate
        options["auth_exclude_mechanism"] = [m for m in ("PLAIN", "LOGIN") if m not in mechanisms]
        # With TLS from the first byte there is no STARTTLS for aiosmtpd to wait for.
        options["auth_require_tls"] = args.mode == "starttls" and not args.auth_in_clear
    if args.mode == "starttls":
        options["tls_context"] = context
    server = await loop.create_server(
        lambda: SMTP(recorder, **options),
        host="127.0.0.1",
        port=0,
        ssl=context if args.mode == "tls" else None,
    )
    print(server.sockets[0].getsockname()[1], flush=True)
    await loop.run_in_executor(None, sys.stdin.read)
    server.close()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("output")
    parser.add_argument("--mode", choices=("plain", "starttls", "tls"), default="plain")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--user")
    parser.add_argument("--password")
    parser.add_argument("--mechanisms", default="PLAIN,LOGIN")
    parser.add_argument("--auth-in-clear", action="store_true")
    asyncio.run(main(parser.parse_args()))
