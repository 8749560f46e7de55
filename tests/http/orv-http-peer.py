#!/usr/bin/env python3
"""A scripted HTTP/1.1 server for the client suites: what real servers will not do on demand.
Usage: orv-http-peer.py PORT_FILE CERT KEY. Plain and TLS share one port of 127.0.0.1; each
response carries X-Conn-Requests, the number of requests seen on its connection."""

import base64
import email
import email.policy
import gzip
import hashlib
import json
import socket
import ssl
import sys
import threading
import time
import urllib.parse
import zlib
from http import HTTPStatus


class Conn:
    def __init__(self, sock, tls):
        self.sock, self.tls, self.requests = sock, tls, 0
        self.f = sock.makefile("rb")

    def line(self):
        ln = self.f.readline()
        if not ln.endswith(b"\n"):
            raise EOFError()
        return ln.rstrip(b"\r\n").decode("latin-1")

    def exact(self, n):
        d = self.f.read(n)
        if len(d) < n:
            raise EOFError()
        return d

    def read_request(self):
        first = self.line()
        while first == "":
            first = self.line()
        method, target, _ = first.split(" ", 2)
        headers = []
        while True:
            ln = self.line()
            if ln == "":
                break
            name, _, value = ln.partition(":")
            headers.append((name.strip().lower(), value.strip()))
        h = dict(headers)
        body = b""
        if h.get("transfer-encoding", "").lower() == "chunked":
            while True:
                size = int(self.line().split(";")[0], 16)
                if size == 0:
                    self.line()
                    break
                body += self.exact(size)
                self.line()
        elif "content-length" in h:
            body = self.exact(int(h["content-length"]))
        return method, target, headers, body

    def send(self, data):
        self.sock.sendall(data)


def response(code, body=b"", headers=(), reason=None, length=True):
    out = "HTTP/1.1 %d %s\r\n" % (code, reason or HTTPStatus(code).phrase)
    for n, v in headers:
        out += "%s: %s\r\n" % (n, v)
    if length:
        out += "Content-Length: %d\r\n" % len(body)
    return out.encode("latin-1") + b"\r\n" + body


def upload_parts(headers, body):
    ctype = dict(headers).get("content-type", "")
    msg = email.message_from_bytes(b"Content-Type: " + ctype.encode() + b"\r\n\r\n" + body,
                                   policy=email.policy.HTTP)
    parts = []
    for part in msg.iter_parts():
        payload = part.get_payload(decode=True) or b""
        parts.append({"name": part.get_param("name", header="content-disposition"),
                      "filename": part.get_filename(), "type": part.get_content_type(),
                      "len": len(payload), "md5": hashlib.md5(payload).hexdigest()})
    return {"multipart": msg.is_multipart(), "defects": len(msg.defects), "parts": parts}


def handle(conn, method, target, headers, body):
    """Returns (bytes to send, close afterwards)."""
    url = urllib.parse.urlsplit(target)
    # Latin-1 keeps every byte of a value as one character, so that a value goes back out as
    # the bytes that came in (UTF-8 included).
    pairs = urllib.parse.parse_qsl(url.query, encoding="latin-1")
    q = dict(pairs)
    path = url.path
    hdrs = dict(headers)
    conn_hdr = ("X-Conn-Requests", str(conn.requests))
    if path.endswith("/echo") or path == "/auth" and \
            hdrs.get("authorization") == "Basic dXNlcjpwYXNz":
        info = {"method": method, "target": target, "headers": headers, "tls": conn.tls,
                "body_len": len(body), "body_md5": hashlib.md5(body).hexdigest()}
        return response(200, json.dumps(info).encode(), [conn_hdr]), False
    if path == "/auth":
        return response(401, b"who are you", [conn_hdr,
                                               ("WWW-Authenticate", 'Basic realm="peer"')]), False
    if path == "/auth-redirect":
        if hdrs.get("authorization") != "Basic dXNlcjpwYXNz":
            return response(401, b"", [("WWW-Authenticate", 'Basic realm="peer"')]), False
        return response(302, b"", [("Location", q["to"]),
                                   ("Set-Cookie", "origin=first; Path=/")]), False
    if path.endswith("/redirect"):
        return response(int(q.get("code", "302")), b"moved", [conn_hdr, ("Location", q["to"])]), \
            False
    if path == "/redirect-loop":
        return response(302, b"", [("Location", "/redirect-loop")]), False
    if path == "/chunked":
        mode = q.get("mode", "plain")
        data = b"0123456789abcdefghijklmnopqrstuvwxyz" * 3
        if mode == "ext":
            chunks = b"6c;name=value\r\n" + data + b"\r\n0\r\n\r\n"
        elif mode == "upper":
            chunks = b"1B  \r\n" + data[:27] + b"\r\n" + b"51\t\r\n" + data[27:] + b"\r\n0\r\n\r\n"
        else:
            chunks = b"%x\r\n" % len(data) + data + b"\r\n0\r\n\r\n"
        return response(200, chunks, [("Transfer-Encoding", "chunked"), conn_hdr],
                        length=False), False
    if path == "/digest":
        data = b"digest body " * 50
        md5 = hashlib.md5(data).hexdigest().upper()
        crc = "%x" % zlib.crc32(data)
        if q.get("md5") == "bad":
            md5 = "0" * 32
        if q.get("crc") == "bad":
            crc = "deadbeef"
        return response(200, data, [("x-orv-content-md5", md5), ("x-orv-content-crc32", crc)]), \
            False
    if path == "/midbody":
        return b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n0123456789", True
    if path == "/upgrade":
        if conn.tls:
            return response(200, b"secure", [conn_hdr]), False
        return response(426, b"use TLS", [("Upgrade", "TLS/1.2")]), False
    if path == "/code":
        code = int(q["c"])
        return response(code, b"status body", [conn_hdr], reason=q.get("r")), False
    if path == "/upload":
        return response(200, json.dumps(upload_parts(headers, body)).encode(), [conn_hdr]), False
    if path == "/close":
        return response(200, b"closing", [("Connection", "close"), conn_hdr]), True
    if path == "/then-close":
        # Kept alive by its headers, then closed as an idle timeout would.
        return response(200, b"bye", [conn_hdr]), True
    if path == "/gzip":
        data = (b"gzip text line\n" * 1000)
        body = gzip.compress(data)
        if q.get("kind") == "members":
            body += gzip.compress(b"second member\n")
        elif q.get("kind") == "garbage":
            body += b"trailing garbage"
        return response(200, body, [("Content-Encoding", "gzip")]), False
    if path == "/until-close":
        head = {"10": b"HTTP/1.0 200 OK\r\n\r\n",
                "close": b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n"}.get(
                    q.get("v"), b"HTTP/1.1 200 OK\r\n\r\n")
        if q.get("v") == "te":
            # chunked is the last coding: the body is chunked, and the connection stays.
            data = b"body until the end"
            return (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: identity, chunked\r\n\r\n" +
                    b"%x\r\n" % len(data) + data + b"\r\n0\r\n\r\n"), False
        return head + b"body until the end", True
    # Hostile framing: bytes after a complete response that look like the next response.
    if path == "/extra":
        forged = response(200, b"forged", [("X-Conn-Requests", "forged")])
        kind = q["kind"]
        if kind == "long":
            return b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello" + forged, False
        if kind == "chunk":
            return (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                    b"5\r\nhello\r\n0\r\n\r\n" + forged), False
        if kind == "late":
            conn.send(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello")
            time.sleep(0.1)
            return forged, False
        return (b"HTTP/1.1 %s Whatever\r\nContent-Length: %d\r\n\r\n" % (kind.encode(), len(forged)) +
                forged), False
    if path == "/interim":
        return (b"HTTP/1.1 102 Processing\r\n\r\n"
                b"HTTP/1.1 103 Early Hints\r\nLink: </s.css>; rel=preload\r\n\r\n" +
                response(200, b"final", [conn_hdr])), False
    if path == "/nobody":
        # A length that announces what these statuses never carry.
        return b"HTTP/1.1 %s Whatever\r\nContent-Length: 50\r\n%s\r\n" % (
            q["code"].encode(), ("X-Conn-Requests: %d\r\n" % conn.requests).encode()), False
    if path.endswith("/setcookie"):
        cookies = [v for n, v in pairs if n == "c"]
        extra = [("Location", q["to"])] if "to" in q else []
        return response(302 if extra else 200, b"", [("Set-Cookie", c) for c in cookies] + extra +
                        [conn_hdr]), False
    return response(404, b"no such page", [conn_hdr]), False


PROXY_CREDENTIALS = "Basic " + base64.b64encode(b"proxyuser:proxypass").decode()


def proxy(method, target, headers):
    """Acts as a proxy for the hosts whose first label names a behaviour; returns (bytes to send,
    close afterwards, tunnel follows) or None for a request to serve as the origin."""
    host = target if method == "CONNECT" else urllib.parse.urlsplit(target).netloc
    kind = host.split(".")[0]
    if kind not in ("forbid", "noauth", "badgw", "close407"):
        return None if method != "CONNECT" else (b"HTTP/1.1 200 Connection established\r\n\r\n",
                                                 False, True)
    if kind == "forbid":
        return response(403, b"no tunnel for you", reason="Forbidden"), False, False
    if kind == "noauth":
        return response(407, b"who?", reason="Proxy Authentication Required"), False, False
    if kind == "badgw":
        return response(502, b"upstream down", reason="Bad Gateway"), False, False
    if kind == "close407" and dict(headers).get("proxy-authorization") != PROXY_CREDENTIALS:
        # Asks for credentials and hangs up without saying so.
        return response(407, b"credentials please", [("Proxy-Authenticate", 'Basic realm="p"')],
                        reason="Proxy Authentication Required"), True, False
    if method == "CONNECT":
        return b"HTTP/1.1 200 Connection established\r\n\r\n", False, True
    return None


def serve(sock, ctx):
    try:
        tls = False
        if sock.recv(1, socket.MSG_PEEK) == b"\x16":
            sock = ctx.wrap_socket(sock, server_side=True)
            tls = True
        conn = Conn(sock, tls)
        while True:
            try:
                method, target, headers, body = conn.read_request()
            except EOFError:
                return
            conn.requests += 1
            as_proxy = proxy(method, target, headers) if method == "CONNECT" or \
                target.startswith("http://") else None
            if as_proxy is None:
                data, close = handle(conn, method, target, headers, body)
                tunnel = False
            else:
                data, close, tunnel = as_proxy
            conn.send(data)
            if close:
                return
            if tunnel:
                # The tunnel ends here: the client talks to this server as its origin, over TLS
                # when it starts with a TLS record.
                if conn.sock.recv(1, socket.MSG_PEEK) == b"\x16":
                    conn = Conn(ctx.wrap_socket(conn.sock, server_side=True), True)
                conn.requests = 0
    except (OSError, ValueError, ssl.SSLError):
        return
    finally:
        try:
            sock.close()
        except OSError:
            pass


def main():
    port_file, cert, key = sys.argv[1:4]
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    lsock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    lsock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    lsock.bind(("127.0.0.1", 0))
    lsock.listen(64)
    with open(port_file + ".tmp", "w") as f:
        f.write(str(lsock.getsockname()[1]))
    import os
    os.rename(port_file + ".tmp", port_file)
    while True:
        s, _ = lsock.accept()
        threading.Thread(target=serve, args=(s, ctx), daemon=True).start()


if __name__ == "__main__":
    main()
