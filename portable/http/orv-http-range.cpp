#include "orv-http-range.h"

#include <cstring>

namespace {

void SkipBlanks(const char*& p) {
    while (*p == ' ' || *p == '\t')
        ++p;
}

bool ReadNumber(const char*& p, int64_t& n) {
    SkipBlanks(p);
    n = 0;
    int nDigits = 0;
    while (*p >= '0' && *p <= '9') {
        if (++nDigits > 18)
            return false;
        n = n * 10 + (*p++ - '0');
    }
    SkipBlanks(p);
    return nDigits > 0;
}

}  // namespace

bool OrvHttpParseContentRange(const char* pszValue, int64_t& n64From, int64_t& n64To,
                              int64_t& n64Total, COrvError& err) {
    const char* psz = pszValue ? pszValue : "";
    const char* p = psz;
    SkipBlanks(p);
    if (std::strncmp(p, "bytes", 5) != 0 || (p[5] != ' ' && p[5] != '\t'))
        return err.SetFormat(enNetBadRequest, "unexpected units in Content-Range '%s'", psz);
    p += 5;
    int64_t nFrom;
    int64_t nTo;
    int64_t nTotal;
    if (!ReadNumber(p, nFrom) || *p++ != '-' || !ReadNumber(p, nTo) || *p != '/')
        return err.SetFormat(enNetBadRequest, "bad Content-Range (range) '%s'", psz);
    ++p;
    if (!ReadNumber(p, nTotal) || *p != 0)
        return err.SetFormat(enNetBadRequest, "bad Content-Range (total) '%s'", psz);
    if (nFrom > nTo)
        return err.SetFormat(enNetBadRequest, "bad Content-Range (from > to) '%s'", psz);
    if (nFrom >= nTotal)
        return err.SetFormat(enNetBadRequest, "bad Content-Range (from >= total) '%s'", psz);
    if (nTo >= nTotal)
        return err.SetFormat(enNetBadRequest, "bad Content-Range (to >= total) '%s'", psz);
    n64From = nFrom;
    n64To = nTo;
    n64Total = nTotal;
    return true;
}
