// The parts of the accounts module that do not touch the system: the status-text parser, the
// user-name fallbacks and the e-mail lookup through the settings store.
#include "orv-user.h"

#include <stdlib.h>
#include <string.h>

#include "orv-log.h"
#include "orv-registry.h"
#include "orv-trace.h"
#include "orv-user-os.h"

namespace {

// Reads decimal ids separated by blanks from [p, pEnd) (one line, without its end). False on
// anything else or an id of 2^32 or more.
bool ParseIdList(const char* p, const char* pEnd, std::vector<uint32_t>& out) {
    out.clear();
    while (p < pEnd) {
        if (*p == ' ' || *p == '\t') {
            ++p;
            continue;
        }
        uint64_t n = 0;
        const char* pStart = p;
        while (p < pEnd && *p >= '0' && *p <= '9') {
            n = n * 10 + static_cast<uint64_t>(*p - '0');
            if (n > 0xFFFFFFFFull)
                return false;
            ++p;
        }
        if (p == pStart)
            return false;
        out.push_back(static_cast<uint32_t>(n));
    }
    return true;
}

bool ParseOctal(const char* p, const char* pEnd, uint32_t& nValue) {
    while (p < pEnd && (*p == ' ' || *p == '\t'))
        ++p;
    if (p == pEnd)
        return false;
    nValue = 0;
    for (; p < pEnd; ++p) {
        if (*p < '0' || *p > '7' || nValue > 07777)
            return false;
        nValue = nValue * 8 + static_cast<uint32_t>(*p - '0');
    }
    return nValue <= 07777;
}

}  // namespace

bool OrvParseProcStatusIds(const char* pText, size_t nLen, OrvProcIds& ids) {
    ids = OrvProcIds();
    bool bUid = false;
    bool bGid = false;
    std::vector<uint32_t> values;
    const char* p = pText;
    const char* const pEnd = pText + nLen;
    while (p < pEnd) {
        const char* pLineEnd =
            static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(pEnd - p)));
        if (pLineEnd == nullptr)
            pLineEnd = pEnd;
        const char* pColon =
            static_cast<const char*>(memchr(p, ':', static_cast<size_t>(pLineEnd - p)));
        if (pColon != nullptr) {
            const size_t nKey = static_cast<size_t>(pColon - p);
            auto is = [&](const char* pszKey) {
                return nKey == strlen(pszKey) && memcmp(p, pszKey, nKey) == 0;
            };
            if (is("Uid") || is("Gid")) {
                if (!ParseIdList(pColon + 1, pLineEnd, values) || values.size() != 4)
                    return false;
                uint32_t* pIds = is("Uid") ? ids.anUid : ids.anGid;
                for (size_t i = 0; i < 4; ++i)
                    pIds[i] = values[i];
                (is("Uid") ? bUid : bGid) = true;
            } else if (is("Groups")) {
                if (!ParseIdList(pColon + 1, pLineEnd, ids.groups))
                    return false;
            } else if (is("Umask")) {
                ids.bHasUmask = ParseOctal(pColon + 1, pLineEnd, ids.nUmask);
                if (!ids.bHasUmask)
                    return false;
            }
        }
        p = pLineEnd + 1;
    }
    return bUid && bGid;
}

COrvStringA OrvGetUserNameOrFallback() {
    COrvStringA sName;
    COrvError err;
    const bool bOk = OrvGetUserName(sName, err);
    SOFTASSERT(bOk);
    return bOk ? sName : COrvStringA("-(cannot get UserName)-");
}

COrvStringA OrvGetDomainUserNameOrFallback() {
    COrvStringA sName;
    COrvError err;
    const bool bOk = OrvGetDomainUserName(sName, err);
    SOFTASSERT(bOk);
    return bOk ? sName : COrvStringA("-(cannot get DomainUserName)-");
}

COrvStringA TvSysUserEmail() {
    COrvRegKey key;
    COrvError err;
    COrvStringA sEmail;
    const bool bOpened = key.Open(enOrvHKeyCurrentUser, kOrvProductKey, ORV_KEY_READ, err);
    if (bOpened && key.QueryStringValueA(u"UserEmail", sEmail, err) && !sEmail.IsEmpty()) {
        g_orv_log.Printf("TvSysUserEmail: Got E-mail: %s\n", sEmail.GetString());
        return sEmail;
    }
    const char* pszEnv = getenv("EMAIL");
    if (pszEnv != nullptr && *pszEnv != '\0') {
        g_orv_log.Printf("TvSysUserEmail: Got E-mail: %s\n", pszEnv);
        return COrvStringA(pszEnv);
    }
    if (!err.Failed())
        err.Set(enNetNotFound, "the value UserEmail is empty");
    if (!bOpened)
        g_orv_log.Printf("TvSysUserEmail: Cannot open UserExtendedProperties: %s\n",
                         err.Text().GetString());
    else
        g_orv_log.Printf("TvSysUserEmail: Cannot load UserExtendedProperties: %s\n",
                         err.Text().GetString());
    return COrvStringA();
}
