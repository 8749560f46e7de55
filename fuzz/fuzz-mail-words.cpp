// Quoted-printable: arbitrary bytes come back whole from their encoding, whose lines hold at most
// 76 characters and never start with a dot. The mail header words: any text survives encoding and
// decoding unchanged when it is valid UTF-8 without NUL, the encoded form is printable ASCII, and
// decoding arbitrary received text never fails or grows it more than the replacement characters
// allow.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz-check.h"
#include "orv-mail.h"
#include "orv-string-util.h"
#include "orv-utf.h"

namespace {

bool IsUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const OrvUtf8Step step = OrvUtf8DecodeOne(s.data() + i, s.size() - i);
        if (step.eStatus != enUtfOk || step.c == 0)
            return false;
        i += static_cast<size_t>(step.nLen);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize > 8192)
        return 0;
    const std::string s(reinterpret_cast<const char*>(pData), nSize);
    const COrvStringA decoded = OrvMailDecodeHeader(s.c_str());
    Check(decoded.GetLength() <= static_cast<int>(3 * s.size() + 3));
    if (IsUtf8(s)) {
        const COrvStringA enc = OrvMailEncodeHeader(s.c_str());
        for (int i = 0; i < enc.GetLength(); ++i) {
            const unsigned char c = static_cast<unsigned char>(enc[i]);
            Check(c < 0x7f && (c >= 0x20 || c == '\r' || c == '\n'));
        }
        // Text that looks like an encoded word itself is decoded as one: only other texts must
        // come back unchanged.
        if (s.find("=?") == std::string::npos)
            Check(std::string(OrvMailDecodeHeader(enc).GetString()) == s);
    }
    COrvStringA qp;
    COrvError err;
    Check(OrvQuotedPrintableEncode(s.data(), s.size(), qp, err));
    std::string back;
    int nCol = 0;
    for (int i = 0; i < qp.GetLength(); ++i) {
        Check(!(nCol == 0 && qp[i] == '.'));
        if (qp[i] != '=') {
            back += qp[i];
            Check(qp[i] != '\r' && qp[i] != '\n' && ++nCol <= 76);
            continue;
        }
        Check(i + 2 < qp.GetLength());
        if (qp[i + 1] == '\r') {
            Check(qp[i + 2] == '\n' && ++nCol <= 76);
            nCol = 0;
        } else {
            back +=
                static_cast<char>(OrvHexDigitValue(qp[i + 1]) * 16 + OrvHexDigitValue(qp[i + 2]));
            nCol += 3;
            Check(nCol <= 76);
        }
        i += 2;
    }
    Check(back == s);
    return 0;
}
