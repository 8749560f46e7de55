// Helper program of the settings-store tests. The store root comes from ORV_REGISTRY_ROOT.
//   reg-child add PREFIX COUNT    adds COUNT values PREFIX0000... to HKCU\Test\Shared, one write
//                                 each; exit 0 when every write succeeded
//   reg-child rewrite             rewrites the values of HKCU\Test\Crash forever (generation g:
//                                 "D" = g, "S" = g's digits repeated g % 700 times, "B" = g % 300
//                                 bytes of g & 0xFF); prints "ready" after the first write
// A last argument "--no-sync" turns fsync into a no-op: what these tests check (the lock, and
// the rename that replaces the file whole) does not depend on it, since a killed process's
// written pages stay in the page cache; only a power loss needs the sync, and it makes each
// write take milliseconds.
#include "orv-registry.h"
#include "orv-sys.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

std::u16string Widen(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

int Add(const char* pszPrefix, int nCount) {
    COrvError err;
    COrvRegKey key;
    bool bOk = key.Create(enOrvHKeyCurrentUser, u"Test\\Shared", ORV_KEY_ALL_ACCESS, err);
    for (int i = 0; bOk && i < nCount; ++i) {
        char szName[64];
        snprintf(szName, sizeof szName, "%s%04d", pszPrefix, i);
        bOk = key.SetDWORDValue(Widen(szName).c_str(), static_cast<uint32_t>(i), err);
    }
    if (!bOk)
        fprintf(stderr, "%s\n", err.Text().GetString());
    return bOk ? 0 : 3;
}

int Rewrite() {
    COrvError err;
    COrvRegKey key;
    if (!key.Create(enOrvHKeyCurrentUser, u"Test\\Crash", ORV_KEY_ALL_ACCESS, err))
        return 2;
    for (uint32_t g = 1;; ++g) {
        std::string s;
        const std::string digits = std::to_string(g);
        for (uint32_t i = 0; i < g % 700; ++i)
            s += digits;
        const std::string b(g % 300, static_cast<char>(g & 0xFF));
        if (!key.SetDWORDValue(u"D", g, err) || !key.SetStringValue(u"S", Widen(s).c_str(), err) ||
            !key.SetValue(u"B", ORV_REG_BINARY, b.data(), static_cast<uint32_t>(b.size()), err)) {
            fprintf(stderr, "%s\n", err.Text().GetString());
            return 3;
        }
        if (g == 1) {
            printf("ready\n");
            fflush(stdout);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[argc - 1], "--no-sync") == 0) {
        g_orv_sys.fsync = [](int) { return 0; };
        --argc;
    }
    if (argc == 4 && strcmp(argv[1], "add") == 0)
        return Add(argv[2], atoi(argv[3]));
    if (argc == 2 && strcmp(argv[1], "rewrite") == 0)
        return Rewrite();
    fprintf(stderr, "usage: reg-child add PREFIX COUNT | rewrite\n");
    return 64;
}
