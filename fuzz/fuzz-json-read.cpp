// Fuzz target: the JSON document reader. A document read successfully holds only valid UTF-8
// text, is written back under every option and reads back as the same tree; the typed reader's
// Skip accepts exactly the documents the tree reader accepts. A failure leaves the output
// undefined and says where.
#include <cstdint>
#include <cstring>

#include "fuzz-check.h"
#include "orv-json2.h"
#include "orv-utf.h"

namespace {

bool ValidUtf8(const COrvStringA& s) {
    int nStatus = -1, nPos = -1;
    OrvUtf8ToUtf16(s, s.GetLength(), true, nullptr, 0, &nStatus, &nPos);
    // The converters stop at a NUL; the reader keeps escaped NULs, so check the pieces.
    const char* p = s.GetString();
    const int n = s.GetLength();
    for (int i = 0; i < n;) {
        const OrvUtf8Step st = OrvUtf8DecodeOne(p + i, static_cast<size_t>(n - i));
        if (st.eStatus != enUtfOk || OrvIsSurrogate(st.c))
            return false;
        i += st.nLen;
    }
    return true;
}

// Every string and name of the tree is valid UTF-8 (without recursion).
bool AllValid(const COrvJsonValue* pRoot) {
    const COrvJsonValue* stack[64];
    int n = 0;
    stack[n++] = pRoot;
    // Deep trees: checked through the writer instead (it refuses invalid UTF-8).
    while (n > 0) {
        const COrvJsonValue* v = stack[--n];
        if (v->IsStringLike()) {
            if (!ValidUtf8(static_cast<const COrvJsonString*>(v)->GetString()))
                return false;
        } else if (const COrvJsonArray* a = v->AsArray()) {
            for (size_t i = 0; i < a->GetArray().GetCount() && n < 64; ++i)
                stack[n++] = a->GetArray().GetAt(i);
        } else if (const COrvJsonObject* o = v->AsObject()) {
            for (size_t i = 0; i < o->GetPropList().GetCount() && n < 64; ++i) {
                if (!ValidUtf8(o->GetPropList().GetAt(i).m_strName))
                    return false;
                stack[n++] = o->GetPropList().GetAt(i).m_pValue;
            }
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* p = reinterpret_cast<const char*>(data);
    COrvJsonRoot root;
    COrvError err;
    const bool bOk = OrvJsonParse(p, size, root, err);

    COrvJsonReader r(p, size);
    COrvError errSkip;
    const bool bSkipOk = r.Skip(errSkip) && r.Finish(errSkip);
    Check(bOk == bSkipOk);

    if (!bOk) {
        Check(root.IsUndefined());
        Check(err.Code() == enNetBadRequest);
        Check(strncmp(err.Text(), "JSON syntax error: ", 19) == 0 ||
              strncmp(err.Text(), "JSON read error: ", 17) == 0);
        Check(err.Text().Equals(errSkip.Text()));
        return 0;
    }
    Check(!root.IsUndefined() && AllValid(root.Get()));
    for (unsigned nOptions = 0; nOptions < 8; ++nOptions) {
        COrvStringA out;
        COrvError errW;
        Check(OrvJsonWrite(root.Get(), out, nOptions, errW));
        COrvJsonRoot again;
        Check(OrvJsonParse(out, again, errW));
        Check(OrvJsonEqual(root.Get(), again.Get()));
        if (!(nOptions & enJsonWriteKeepUtf8)) {
            for (int i = 0; i < out.GetLength(); ++i)
                Check(static_cast<unsigned char>(out[i]) < 0x80);
        }
    }
    return 0;
}
