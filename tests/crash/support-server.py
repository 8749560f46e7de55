#!/usr/bin/env python3
"""A support server for the crash tests: support-server.py DIR makes DIR/ca.pem (the certificate to
trust), serves HTTPS on 127.0.0.1 at a port of the system's choice (printed as "port=N") and
appends every request to DIR/requests.jsonl."""
import email.parser
import email.policy
import http.server
import json
import os
import ssl
import subprocess
import sys
import urllib.parse

DIR = sys.argv[1]
LOG = os.path.join(DIR, "requests.jsonl")


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True)


def make_certificate():
    """A self-signed certificate for 127.0.0.1, which the clients trust as their only root."""
    key, crt = os.path.join(DIR, "server.key"), os.path.join(DIR, "ca.pem")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", crt,
            "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1")
    return crt, key


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, status, body=b"", headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        ctype = self.headers.get("Content-Type", "")
        record = {"path": self.path, "content_type": ctype}
        url = urllib.parse.urlsplit(self.path)
        if ctype.startswith("multipart/form-data"):
            msg = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
                b"Content-Type: " + ctype.encode() + b"\r\n\r\n" + body)
            parts = []
            for part in msg.iter_parts():
                data = part.get_payload(decode=True) or b""
                parts.append({"name": part.get_param("name", header="content-disposition"),
                              "filename": part.get_filename(), "type": part.get_content_type(),
                              "len": len(data),
                              "text": data.decode("latin-1") if len(data) < 200 else None})
            record["parts"] = parts
        else:
            record["form"] = urllib.parse.parse_qs(body.decode(), keep_blank_values=True)
        with open(LOG, "a") as f:
            f.write(json.dumps(record) + "\n")
        port = self.server.server_address[1]
        if url.path == "/scripts/upload-file":
            dest = next((p["text"] for p in record.get("parts", []) if p["name"] == "destname"), "")
            self.answer(200, ("filename=stored-%s.zip\n" % dest).encode())
        elif url.path == "/manage/manage-login":
            form = record["form"]
            if form.get("userid") == ["tester"] and form.get("password") == ["secret"]:
                self.answer(200, ("support_url=https://127.0.0.1:%d/tickets/new\nauth=token42\n"
                                  % port).encode())
            else:
                self.answer(200, b"login refused")
        elif url.path == "/tickets/new" and url.query == "auth=token42":
            self.answer(302, headers=[("Location", " https://127.0.0.1:%d/tickets/42 " % port)])
        else:
            self.answer(404, b"no such page")


def main():
    crt, key = make_certificate()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(crt, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    print("port=%d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
