#!/usr/bin/python3
"""Mail server and message reader of the mail tests, on loopback only.

serve DIR [--tls|--starttls] [--auth] [--reject ADDR] [--drop-in-data] CERT KEY:
    aiosmtpd on 127.0.0.1, port printed as "PORT n"; messages stored as DIR/msg-N.eml and .env.
parse FILE OUTDIR: what the email package reads, as key=value lines; attachments to OUTDIR.
qp-decode DIR: each DIR/N.qp decoded by both quopri decoders must equal DIR/N.in.
"""
import asyncio
import email
import email.policy
import os
import socket
import ssl
import sys


def serve(argv):
    folder = argv[0]
    opts = argv[1:-2]
    cert, key = argv[-2], argv[-1]
    reject = opts[opts.index("--reject") + 1] if "--reject" in opts else None
    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(cert, key)

    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", 0))
    sock.listen(16)
    loop = asyncio.new_event_loop()

    if "--drop-in-data" in opts:
        async def scripted(reader, writer):
            writer.write(b"220 scripted ESMTP\r\n")
            while True:
                line = await reader.readline()
                if not line:
                    break
                if line.upper().startswith(b"DATA"):
                    writer.write(b"354 go ahead\r\n")
                    await writer.drain()
                    await reader.readline()
                    writer.transport.abort()
                    return
                writer.write(b"250 OK\r\n")
                await writer.drain()
        server = loop.run_until_complete(asyncio.start_server(scripted, sock=sock))
    else:
        from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

        counter = [0]

        class Handler:
            async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
                if address == reject:
                    return "550 5.1.1 no such user here"
                envelope.rcpt_tos.append(address)
                return "250 OK"

            async def handle_DATA(self, server, session, envelope):
                counter[0] += 1
                base = os.path.join(folder, "msg-%d" % counter[0])
                with open(base + ".eml", "wb") as f:
                    f.write(envelope.original_content)
                data = getattr(session, "auth_data", None)
                login = data.login.decode() if isinstance(data, LoginPassword) else ""
                tls = server.transport.get_extra_info("ssl_object") is not None
                with open(base + ".env", "w") as f:
                    f.write("from=%s\nto=%s\nlogin=%s\ntls=%d\n" % (
                        envelope.mail_from, ",".join(envelope.rcpt_tos), login,
                        1 if tls else 0))
                return "250 OK queued"

        def authenticator(server, session, envelope, mechanism, auth_data):
            ok = (isinstance(auth_data, LoginPassword) and auth_data.login == b"mailuser" and
                  auth_data.password == b"secret")
            return AuthResult(success=ok, handled=False, auth_data=auth_data)

        def factory():
            return SMTP(Handler(), hostname="orv-smtp.test",
                        authenticator=authenticator if "--auth" in opts else None,
                        auth_require_tls=False, require_starttls=False,
                        tls_context=ctx if "--starttls" in opts else None,
                        data_size_limit=64 * 1024 * 1024)

        server = loop.run_until_complete(loop.create_server(
            factory, sock=sock, ssl=ctx if "--tls" in opts else None))
    print("PORT %d" % sock.getsockname()[1], flush=True)
    loop.run_until_complete(server.serve_forever())


def parse(path, outdir):
    with open(path, "rb") as f:
        msg = email.message_from_binary_file(f, policy=email.policy.default)
    out = ["subject=%s" % msg.get("Subject", "")]
    sender = msg["From"].addresses[0]
    out.append("from=%s|%s" % (sender.display_name, sender.addr_spec))
    out.append("to-count=%d" % len(msg.get_all("To", [])))
    out.append("to=%s" % ",".join(a.addr_spec for a in msg["To"].addresses))
    out.append("defects=%d" % len(msg.defects))
    body = msg.get_body(preferencelist=("html", "plain"))
    out.append("body-type=%s" % body.get_content_type())
    with open(os.path.join(outdir, "body"), "wb") as f:
        f.write(body.get_content().encode("utf-8"))
    n = 0
    for part in msg.iter_attachments():
        data = part.get_payload(decode=True) or b""
        with open(os.path.join(outdir, "att-%d" % n), "wb") as f:
            f.write(data)
        out.append("att-%d=%s|%s|%d" % (n, part.get_filename(), part.get_content_type(),
                                          len(part.defects)))
        n += 1
    out.append("attachments=%d" % n)
    longest = max(len(line) for line in open(path, "rb").read().split(b"\r\n"))
    out.append("longest-line=%d" % longest)
    print("\n".join(out))


def qp_decode(folder):
    import binascii
    import quopri
    names = sorted(f[:-3] for f in os.listdir(folder) if f.endswith(".qp"))
    for name in names:
        with open(os.path.join(folder, name + ".qp"), "rb") as f:
            encoded = f.read()
        with open(os.path.join(folder, name + ".in"), "rb") as f:
            expected = f.read()
        fast = quopri.decodestring(encoded)
        quopri.a2b_qp = None  # the pure Python decoder from here on
        pure = quopri.decodestring(encoded)
        quopri.a2b_qp = binascii.a2b_qp
        for how, got in (("binascii", fast), ("python", pure)):
            if got != expected:
                print("%s: %s decodes %d bytes, not the %d sent" % (name, how, len(got),
                                                                   len(expected)))
    print("checked %d" % len(names))


if __name__ == "__main__":
    if sys.argv[1] == "serve":
        serve(sys.argv[2:])
    elif sys.argv[1] == "qp-decode":
        qp_decode(sys.argv[2])
    else:
        parse(sys.argv[2], sys.argv[3])
