#!/usr/bin/env python3
"""Checks Digest Authorization values as a server does, with hashlib. Input lines: method, uri,
user, realm, password, nonce, body-hex and the value, TAB-separated; output: "ok" or the mismatch."""
import hashlib
import re
import sys


def params(value):
    assert value.startswith("Digest ")
    out = {}
    for m in re.finditer(r'([a-z-]+)=(?:"((?:[^"\\]|\\.)*)"|([^,]*))', value[7:]):
        quoted = m.group(2)
        out[m.group(1)] = re.sub(r"\\(.)", r"\1", quoted) if quoted is not None else m.group(3)
    return out


def check(line):
    method, uri, user, realm, password, nonce, body_hex, value = line.rstrip("\n").split("\t")
    p = params(value)
    alg = p.get("algorithm", "MD5")
    h = hashlib.sha256 if alg.upper().startswith("SHA-256") else hashlib.md5
    H = lambda s: h(s.encode() if isinstance(s, str) else s).hexdigest()
    for name, want in (("username", user), ("realm", realm), ("uri", uri), ("nonce", nonce)):
        if p.get(name) != want:
            return "%s is %r" % (name, p.get(name))
    ha1 = H("%s:%s:%s" % (user, realm, password))
    if alg.lower().endswith("-sess"):
        ha1 = H("%s:%s:%s" % (ha1, nonce, p["cnonce"]))
    qop = p.get("qop")
    a2 = "%s:%s" % (method, uri)
    if qop == "auth-int":
        a2 += ":" + H(bytes.fromhex(body_hex))
    if qop:
        if not re.fullmatch(r"[0-9a-f]{8}", p.get("nc", "")):
            return "bad nc"
        want = H("%s:%s:%s:%s:%s:%s" % (ha1, nonce, p["nc"], p["cnonce"], qop, H(a2)))
    else:
        want = H("%s:%s:%s" % (ha1, nonce, H(a2)))
    return "ok" if p.get("response") == want else "response differs"


for line in sys.stdin:
    print(check(line))
