#!/usr/bin/env python3
"""Independent peer for the JSON tests: Python's json module.

gen COUNT SEED OUT: COUNT random strict JSON documents, one per line. check DOCS OURS: each
line of OURS must give the values of the same line of DOCS (types, doubles bit for bit, member
order); prints the first mismatches, exit 1 on any.
"""
import json
import random
import struct
import sys


def rand_char(rng):
    r = rng.random()
    if r < 0.55:
        return chr(rng.randrange(0x20, 0x7F))
    if r < 0.65:
        return rng.choice('"\\/\b\f\n\r\t<>\x00\x01\x1f\x7f')
    c = rng.choice((rng.randrange(0x80, 0x800), rng.randrange(0x800, 0x10000),
                    rng.randrange(0x10000, 0x110000)))
    return chr(c) if not 0xD800 <= c <= 0xDFFF else "\ufffd"


def rand_string(rng):
    return "".join(rand_char(rng) for _ in range(rng.choice((0, 1, 2, 5, 12, 24))))


def rand_double(rng):
    r = rng.random()
    if r < 0.4:
        # Any finite bit pattern: denormals, huge and tiny exponents.
        while True:
            d = struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
            if d == d and d not in (float("inf"), float("-inf")):
                return d
    if r < 0.8:
        return round(rng.uniform(-1000, 1000), rng.randrange(0, 8))
    return rng.choice((0.0, -0.0, 0.1, 1e-10, 1e300, 5e-324, 1.7976931348623157e308, 2.0**53))


def rand_int(rng):
    return rng.choice((rng.randrange(-1000, 1000), rng.randrange(-2**31, 2**31),
                       rng.randrange(-2**63, 2**63), -2**63, 2**63 - 1, 2**53 + 1))


def rand_value(rng, depth):
    r = rng.random()
    if depth < 4 and r < 0.25:
        n = rng.choice((0, 1, 2, 3, 5))
        return {rand_string(rng): rand_value(rng, depth + 1) for _ in range(n)}
    if depth < 4 and r < 0.45:
        return [rand_value(rng, depth + 1) for _ in range(rng.choice((0, 1, 2, 3, 6)))]
    if r < 0.6:
        return rand_string(rng)
    if r < 0.75:
        return rand_int(rng)
    if r < 0.9:
        return rand_double(rng)
    return rng.choice((True, False, None))


def gen(count, seed, out):
    rng = random.Random(seed)
    with open(out, "w", encoding="utf-8", newline="") as f:
        for _ in range(count):
            doc = rand_value(rng, 0)
            f.write(json.dumps(doc, ensure_ascii=rng.random() < 0.5, allow_nan=False))
            f.write("\n")


def check(docs, ours):
    with open(docs, encoding="utf-8", newline="") as f:
        want = f.read().split("\n")
    with open(ours, encoding="utf-8", newline="") as f:
        got = f.read().split("\n")
    if len(want) != len(got):
        print("line counts differ: %d documents, %d written" % (len(want), len(got)))
        return 1
    bad = 0
    for i, (w, g) in enumerate(zip(want, got)):
        try:
            # Python's own writing is canonical: types, doubles bit for bit (repr), member order.
            ok = not w or json.dumps(json.loads(w)) == json.dumps(json.loads(g))
        except ValueError as e:
            ok, g = False, "%s (Python cannot read it: %s)" % (g, e)
        bad += not ok
        if not ok and bad <= 5:
            print("document %d differs:\n  in:  %s\n  out: %s" % (i, w[:300], g[:300]))
    print("%d documents, %d differ" % (len([w for w in want if w]), bad))
    return 1 if bad else 0


if __name__ == "__main__":
    if sys.argv[1] == "gen":
        gen(int(sys.argv[2]), int(sys.argv[3]), sys.argv[4])
    elif sys.argv[1] == "check":
        sys.exit(check(sys.argv[2], sys.argv[3]))
    else:
        sys.exit("usage: json-peer.py gen COUNT SEED OUT | check DOCS OURS")
