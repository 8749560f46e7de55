#!/usr/bin/python3
"""The library's AES password forms and RSA short-data encryption on python3-cryptography: one
JSON request per input line ({"op": ..., hex fields}), one answer per output line (hex, or
"ERR"); see answer() for the operations."""
import hashlib
import json
import os
import struct
import sys
import time

from cryptography.hazmat.primitives import hashes, padding, serialization
from cryptography.hazmat.primitives.asymmetric import padding as apadding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes


def bytes_to_key(password, salt):
    """EVP_BytesToKey with SHA-1 and 1024 rounds: 32 key bytes, then 16 IV bytes."""
    out, prev = b"", b""
    while len(out) < 48:
        d = hashlib.sha1(prev + password + salt).digest()
        for _ in range(1023):
            d = hashlib.sha1(d).digest()
        out += d
        prev = d
    return out[:32], out[32:48]


def check_value(data):
    c = 0
    for b in data:
        c = ((((c >> 1) | (c << 7)) & 0xFF) + b) & 0xFF
    return c


def aes(encrypt, password, salt, data):
    key, iv = bytes_to_key(password, salt)
    cipher = Cipher(algorithms.AES(key), modes.CBC(iv))
    if encrypt:
        padder = padding.PKCS7(128).padder()
        enc = cipher.encryptor()
        return enc.update(padder.update(data) + padder.finalize()) + enc.finalize()
    dec = cipher.decryptor()
    unpadder = padding.PKCS7(128).unpadder()
    return unpadder.update(dec.update(data) + dec.finalize()) + unpadder.finalize()


def enc32(plain, pw):
    salt = os.urandom(4) + struct.pack("<I", int(time.time()) & 0xFFFFFFFF)
    n = 32 - len(plain) if len(plain) < 32 else 0
    inner = bytes([n]) + os.urandom(n) + plain
    return salt + aes(True, pw, salt, inner) + bytes([check_value(inner)])


def dec32(data, pw):
    inner = aes(False, pw, data[:8], data[8:-1])
    if check_value(inner) != data[-1] or 1 + inner[0] > len(inner):
        raise ValueError("bad password")
    return inner[1 + inner[0]:]


def rep_salt(c):
    return bytes((7 * i + c) & 0xFF for i in range(8))


def encrep(plain, pw):
    c = check_value(plain)
    return aes(True, pw, rep_salt(c), plain) + bytes([c])


def decrep(data, pw):
    plain = aes(False, pw, rep_salt(data[-1]), data[:-1])
    if check_value(plain) != data[-1]:
        raise ValueError("bad password")
    return plain


OAEP = apadding.OAEP(mgf=apadding.MGF1(hashes.SHA256()), algorithm=hashes.SHA256(), label=None)


def rsaenc(pem, data):
    try:
        key = serialization.load_pem_public_key(pem)
    except ValueError:
        key = serialization.load_pem_private_key(pem, None).public_key()
    c = key.encrypt(data, OAEP)
    return struct.pack(">H", len(c)) + c


def rsadec(pem, data):
    (n,) = struct.unpack(">H", data[:2])
    if n != len(data) - 2:
        raise ValueError("bad length")
    return serialization.load_pem_private_key(pem, None).decrypt(data[2:], OAEP)


def answer(req):
    h = bytes.fromhex
    ops = {
        "enc32": lambda: enc32(h(req["plain"]), h(req["pw"])).hex(),
        "dec32": lambda: dec32(h(req["data"]), h(req["pw"])).hex(),
        "encrep": lambda: encrep(h(req["plain"]), h(req["pw"])).hex(),
        "decrep": lambda: decrep(h(req["data"]), h(req["pw"])).hex(),
        "rsaenc": lambda: rsaenc(req["pem"].encode(), h(req["data"])).hex(),
        "rsadec": lambda: rsadec(req["pem"].encode(), h(req["data"])).hex(),
    }
    return ops[req["op"]]()


for line in sys.stdin:
    try:
        out = answer(json.loads(line))
    except Exception:  # any failure of the operation is the answer
        out = "ERR"
    print(out, flush=True)
