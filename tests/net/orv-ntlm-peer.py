#!/usr/bin/env python3
"""Checks an NTLM authenticate message (Base64 on standard input) as a server does, with
impacket. Arguments: user, domain, password, challenge and negotiate messages (Base64). Prints
"ok" when the NTLMv2 proof, the session key and a flagged integrity code verify."""
import base64
import struct
import sys

from impacket import ntlm


def main():
    user, domain, password, chal_b64, nego_b64 = sys.argv[1:6]
    auth_raw = base64.b64decode(sys.stdin.read().strip())
    chal_raw = base64.b64decode(chal_b64)
    nego_raw = base64.b64decode(nego_b64)
    chal = ntlm.NTLMAuthChallenge()
    chal.fromString(chal_raw)
    auth = ntlm.NTLMAuthChallengeResponse()
    auth.fromString(auth_raw)
    names = (auth["user_name"].decode("utf-16le"), auth["domain_name"].decode("utf-16le"))
    if names != (user, domain):
        print("user or domain differs: %r" % (names,))
        return 1
    nt = auth["ntlm"]
    proof, temp = nt[:16], nt[16:]
    key = ntlm.NTOWFv2(user, password, domain)
    if ntlm.hmac_md5(key, chal["challenge"] + temp) != proof:
        print("NTLMv2 proof does not verify")
        return 1
    base_key = ntlm.hmac_md5(key, proof)
    flags = auth["flags"]
    exported = base_key
    if flags & ntlm.NTLMSSP_NEGOTIATE_KEY_EXCH:
        # impacket reads this field in order, not at its offset
        offset = auth["session_key_offset"]
        encrypted = auth_raw[offset:offset + auth["session_key_len"]]
        exported = ntlm.generateEncryptedSessionKey(base_key, encrypted)
    av = ntlm.AV_PAIRS(temp[28:])
    av_flags = av[ntlm.NTLMSSP_AV_FLAGS]
    if av_flags is not None and struct.unpack("<L", av_flags[1])[0] & 2:
        mic = auth_raw[72:88]
        zeroed = auth_raw[:72] + b"\0" * 16 + auth_raw[88:]
        if ntlm.hmac_md5(exported, nego_raw + chal_raw + zeroed) != mic:
            print("MIC does not verify")
            return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
