#!/usr/bin/python3
"""Independent verdicts on QR symbols (segno; rsvg-convert and zbarimg), one JSON request per
line: "matrix" (the 0/1 rows for data, version, level, mask), "auto" (segno's version and level)
and "decode" (the hex bytes zbarimg reads from an SVG data URI)."""
import base64
import json
import os
import subprocess
import sys
import tempfile

import segno

PREFIX = "data:image/svg+xml;base64,"

_segno_padding_bits = segno.encoder.write_padding_bits


def _padding_bits(buff, version, length):
    # segno 1.4.1 adds eight zero bits when the stream already ends on a byte boundary (always the
    # case for byte mode with a whole terminator), shifting every pad codeword by one: pad only up
    # to the boundary, as the standard says.
    if length % 8:
        _segno_padding_bits(buff, version, length)


segno.encoder.write_padding_bits = _padding_bits


def decode(uri, folder):
    if not uri.startswith(PREFIX):
        return "ERR prefix"
    svg = os.path.join(folder, "q.svg")
    png = os.path.join(folder, "q.png")
    with open(svg, "wb") as f:
        f.write(base64.b64decode(uri[len(PREFIX):], validate=True))
    subprocess.run(["rsvg-convert", "-z", "3", "-o", png, svg], check=True)
    r = subprocess.run(["zbarimg", "--raw", "-q", "-Sbinary", "-Sdisable", "-Sqrcode.enable", png],
                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    if r.returncode != 0:
        return "ERR zbarimg %d" % r.returncode
    return r.stdout.hex()


def main():
    with tempfile.TemporaryDirectory() as folder:
        for line in sys.stdin:
            req = json.loads(line)
            if req["op"] == "matrix":
                qr = segno.make_qr(bytes.fromhex(req["data"]), version=req["version"],
                                   error=req["level"], mask=req["mask"], mode="byte",
                                   boost_error=False)
                out = "|".join("".join(str(b) for b in row) for row in qr.matrix)
            elif req["op"] == "auto":
                qr = segno.make_qr(bytes.fromhex(req["data"]), error="M", mode="byte",
                                   boost_error=True)
                out = "%d %s" % (qr.version, qr.error)
            else:
                out = decode(req["uri"], folder)
            print(out, flush=True)


main()
