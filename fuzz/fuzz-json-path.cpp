// Fuzz target: access by path. The input's first line is a path, the rest a document (an empty
// object when it does not read). Getting never fails loudly; a value set at a path is found there
// afterwards; the tree, changed or not, is written and reads back as the same tree.
#include <cstdint>
#include <cstring>

#include "fuzz-check.h"
#include "orv-json2.h"

namespace {

void CheckRoundTrip(const COrvJsonValue* pRoot) {
    COrvStringA out;
    COrvError err;
    if (!OrvJsonWrite(pRoot, out, enJsonWriteKeepUtf8, err)) {
        // Only a name taken from the path can hold text that is not UTF-8.
        Check(strncmp(err.Text(), "JSON string is not valid UTF-8", 30) == 0);
        return;
    }
    COrvJsonRoot again;
    Check(OrvJsonParse(out, again, err));
    Check(OrvJsonEqual(pRoot, again.Get()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* p = reinterpret_cast<const char*>(data);
    const char* pEol = static_cast<const char*>(memchr(p, '\n', size));
    const size_t nPath = pEol ? static_cast<size_t>(pEol - p) : size;
    const COrvStringA path(p, static_cast<int>(nPath));
    if (path.GetLength() != static_cast<int>(nPath))
        return 0;  // a NUL inside the path
    COrvJsonRoot root;
    COrvError err;
    const size_t nDoc = pEol ? size - nPath - 1 : 0;
    if (!OrvJsonParse(pEol ? pEol + 1 : "", nDoc, root, err) ||
        !(root->IsObject() || root->IsArray()))
        root.Reset(new COrvJsonObject());
    CheckRoundTrip(root.Get());

    root->GetAt(path);
    COrvJsonObject* o = nullptr;
    if (root->GetObj(path, o, false))
        Check(o != nullptr && o == root->GetAt(path));

    auto* pValue = new COrvJsonNumber(static_cast<int64_t>(nPath));
    err.Clear();
    if (root->SetAt(path, pValue, err))
        Check(root->GetAt(path) == pValue);
    else
        Check(err.Failed() && strncmp(err.Text(), "JSON path: ", 11) == 0);
    CheckRoundTrip(root.Get());

    if (root->GetObj(path, o, true))
        Check(o != nullptr && o == root->GetAt(path));
    CheckRoundTrip(root.Get());
    return 0;
}
