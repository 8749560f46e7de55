#!/usr/bin/env python3
"""A scripted HTTP/1.1 server that checks NTLM (with impacket; one handshake per connection),
Digest with stale nonces and a Passport sign-in. Usage: orv-auth-peer.py PORT_FILE (the port of
127.0.0.1 it listens on is written there). Bodies name the connection's number."""

import base64
import hashlib
import os
import re
import socket
import struct
import sys
import threading

from impacket import ntlm

USER, DOMAIN, PASSWORD = "alice", "CORP", "S3cret!"
conn_counter = [0]
own_port = [0]
closed_once = [False]
lock = threading.Lock()


def challenge_message():
    info = struct.pack("<HH", 2, 8) + "CORP".encode("utf-16le") + struct.pack("<HHQHH", 7, 8,
                                                                           133000000000000000, 0, 0)
    return (b"NTLMSSP\0" + struct.pack("<LHHLL", 2, 0, 0, 48, 0xE2898215) + os.urandom(8) +
            b"\0" * 8 + struct.pack("<HHL", len(info), len(info), 48) + info)


def verify_ntlm(chal, auth_raw):
    auth = ntlm.NTLMAuthChallengeResponse()
    auth.fromString(auth_raw)
    nt = auth["ntlm"]
    if len(nt) < 16 or (auth["user_name"], auth["domain_name"]) != (
            USER.encode("utf-16le"), DOMAIN.encode("utf-16le")):
        return False
    key = ntlm.NTOWFv2(USER, PASSWORD, DOMAIN)
    return ntlm.hmac_md5(key, chal[24:32] + nt[16:]) == nt[:16]


def digest_ok(value, method, nonce):
    p = {m.group(1): m.group(2) if m.group(2) is not None else m.group(3)
         for m in re.finditer(r'([a-z-]+)=(?:"([^"]*)"|([^,]*))', value[7:])}
    H = lambda s: hashlib.md5(s.encode()).hexdigest()
    ha1 = H("u:r:p")
    ha2 = H("%s:%s" % (method, p.get("uri")))
    want = H("%s:%s:%s:%s:auth:%s" % (ha1, nonce, p.get("nc"), p.get("cnonce"), ha2))
    return p.get("nonce") == nonce and p.get("response") == want


def serve(sock):
    with lock:
        conn_counter[0] += 1
        number = conn_counter[0]
    f = sock.makefile("rb")
    chal = None
    stale_sent = False
    nonces = [0]
    while True:
        line = f.readline()
        if not line:
            return
        method, path, _ = line.decode().split(" ", 2)
        headers = {}
        while True:
            h = f.readline().decode()
            if h in ("\r\n", "\n", ""):
                break
            name, _, value = h.partition(":")
            headers[name.strip().lower()] = value.strip()
        length = int(headers.get("content-length", "0"))
        if length:
            f.read(length)
        auth = headers.get("authorization", "")
        status, extra, body = 401, "", "denied conn=%d" % number
        if path == "/pp/resource":
            if auth == "Passport1.4 from-PP=t0k3n":
                status, body = 200, "passport ok conn=%d" % number
            else:
                status, body = 302, "sign in first"
                extra = ("Location: /pp/login\r\nWWW-Authenticate: Passport1.4 lc=1033,id=10,"
                         "tw=20,fs=1,ru=http%3A%2F%2Fexample%2F,ct=1234,kpp=1,kv=5,ver=2.1,"
                         "rn=x,tpf=abc,rver=6.1,wp=MBI\r\n")
        elif path == "/nexus":
            status, body = 200, "nexus"
            extra = "PassportURLs: DARealm=Passport.Net,DALogin=127.0.0.1:%d/login2.srf,DAReg=x\r\n" % (
                own_port[0])
        elif path == "/login2.srf":
            want = ("Passport1.4 sign-in=user%%40example.com,pwd=s%%3Dcret,OrgVerb=GET,"
                    "OrgUrl=http%%3A%%2F%%2F127.0.0.1%%2Fpp%%2Fresource,ct=1234,rver=6.1,wp=MBI,id=10,"
                    "ru=http%%3A%%2F%%2F127.0.0.1%%2Fpp%%2Fresource,lc=1033")
            if auth == want % ():
                status, body = 200, "signed in"
                extra = ("Authentication-Info: Passport1.4 da-status=success,tname=MSPAuth,"
                         "from-PP='t0k3n',ru=http://127.0.0.1/pp/resource\r\n")
            else:
                body = "bad sign-in: " + auth
                extra = "Authentication-Info: Passport1.4 da-status=failed\r\n"
        elif path.endswith("/open"):
            status, body = 200, "open conn=%d" % number
        elif path in ("/ntlm", "/ntlm-close-once"):
            if auth.startswith("NTLM "):
                raw = base64.b64decode(auth[5:])
                kind = struct.unpack("<L", raw[8:12])[0]
                if kind == 1:
                    chal = challenge_message()
                    extra = "WWW-Authenticate: NTLM %s\r\n" % base64.b64encode(chal).decode()
                    if path == "/ntlm-close-once" and not closed_once[0]:
                        closed_once[0] = True
                        extra += "Connection: close\r\n"
                elif kind == 3 and chal is not None and verify_ntlm(chal, raw):
                    status, body = 200, "ntlm ok conn=%d" % number
                else:
                    extra = "WWW-Authenticate: NTLM\r\n"
                    chal = None
            else:
                extra = "WWW-Authenticate: NTLM\r\n"
        elif path.startswith("/digest"):
            good = auth.startswith("Digest ") and digest_ok(auth, method, "n%d" % nonces[0])
            stale = good and (path == "/digest-everstale" or not stale_sent)
            if good and not stale:
                status, body = 200, "digest ok conn=%d" % number
            else:
                stale_sent = stale_sent or stale
                nonces[0] += 1
                extra = 'WWW-Authenticate: Digest realm="r",qop="auth",nonce="n%d"%s\r\n' % (
                    nonces[0], ",stale=true" if stale else "")
        data = body.encode()
        reason = {200: "OK", 302: "Found"}.get(status, "Unauthorized")
        sock.sendall(("HTTP/1.1 %d %s\r\n%sContent-Length: %d\r\n\r\n" % (
            status, reason, extra, len(data))).encode() + data)
        if "Connection: close" in extra:
            sock.close()
            return


def main():
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(16)
    own_port[0] = srv.getsockname()[1]
    with open(sys.argv[1] + ".tmp", "w") as out:
        out.write(str(srv.getsockname()[1]))
    os.rename(sys.argv[1] + ".tmp", sys.argv[1])
    while True:
        s, _ = srv.accept()
        threading.Thread(target=serve, args=(s,), daemon=True).start()


if __name__ == "__main__":
    main()
