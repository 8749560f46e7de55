// Fuzz target: the typed JSON reader driven by a program of calls taken from the input's first
// bytes, over the rest of the input. Checks that every call either succeeds or fails with the
// reader's texts, that the position never goes back, and that a value read as a tree is
// writable.
#include <cstdint>
#include <cstring>

#include "fuzz-check.h"
#include "orv-json2.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const size_t nOps = data[0] % 32;
    if (size < 1 + nOps)
        return 0;
    const uint8_t* ops = data + 1;
    const char* p = reinterpret_cast<const char*>(data + 1 + nOps);
    COrvJsonReader r(p, size - 1 - nOps);
    size_t nPos = 0;
    for (size_t k = 0; k < 4 * nOps + 4; ++k) {
        COrvError err;
        bool bOk = false, bHave = false, b = false;
        COrvStringA s;
        int64_t n64 = 0;
        int32_t n32 = 0;
        uint32_t u32 = 0;
        double d = 0;
        int nKind = 0;
        COrvJsonRoot v;
        switch (nOps ? ops[k % nOps] % 16 : 15) {
            case 0:
                bOk = r.BeginObject(err);
                break;
            case 1:
                bOk = r.NextProperty(bHave, s, err);
                break;
            case 2:
                bOk = r.BeginArray(err);
                break;
            case 3:
                bOk = r.NextElement(bHave, err);
                break;
            case 4:
                bOk = r.ReadString(s, err);
                break;
            case 5:
                bOk = r.ReadInt32(n32, err);
                break;
            case 6:
                bOk = r.ReadUInt32(u32, err);
                break;
            case 7:
                bOk = r.ReadInt64(n64, err);
                break;
            case 8:
                bOk = r.ReadDouble(d, err);
                break;
            case 9:
                bOk = r.ReadBool(b, err);
                break;
            case 10:
                bOk = r.ReadBinary(s, err);
                break;
            case 11:
                bOk = r.ReadNull(b, err);
                break;
            case 12:
                bOk = r.PeekKind(nKind, err);
                if (bOk) {
                    Check(nKind >= enJsonKindObject && nKind <= enJsonKindLiteral);
                    bOk = r.ReadValue(nKind, v, err);
                    if (bOk) {
                        Check(v.Get()->GetKind() == nKind);
                        COrvStringA out;
                        Check(OrvJsonWrite(v.Get(), out, 0, err));
                    }
                }
                break;
            case 13:
                bOk = r.ReadValue(ops[k % nOps] % 8, v, err);
                break;
            case 14:
                bOk = r.Skip(err);
                break;
            default:
                bOk = r.Finish(err);
                break;
        }
        if (!bOk) {
            Check(err.Code() == enNetBadRequest);
            Check(strncmp(err.Text(), "JSON syntax error: ", 19) == 0 ||
                  strncmp(err.Text(), "JSON read error: ", 17) == 0);
            return 0;
        }
        Check(r.GetPosition() >= nPos);
        nPos = r.GetPosition();
    }
    return 0;
}
