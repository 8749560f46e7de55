#include "orv-process.h"

#include <errno.h>
#include <string.h>

void OrvModuleVersionFromFileName(const char* pszFileName, int anVersion[4]) {
    for (int i = 0; i < 4; ++i)
        anVersion[i] = 0;
    const char* pSlash = strrchr(pszFileName, '/');
    const char* p = strstr(pSlash ? pSlash + 1 : pszFileName, ".so.");
    if (p == nullptr)
        return;
    p += 4;
    for (int i = 0; i < 4 && *p >= '0' && *p <= '9'; ++i) {
        long n = 0;
        while (*p >= '0' && *p <= '9') {
            n = n * 10 + (*p - '0');
            if (n > 65535)
                n = 65535;  // each part of a file version is 16 bits
            ++p;
        }
        anVersion[i] = static_cast<int>(n);
        if (*p != '.')
            break;
        ++p;
    }
}

bool OrvSplitArguments(const char* pszArguments, COrvArray<COrvStringA>& words) {
    words.RemoveAll();
    const char* p = pszArguments != nullptr ? pszArguments : "";
    for (;;) {
        while (*p == ' ' || *p == '\t' || *p == '\n')
            ++p;
        if (*p == '\0')
            return true;
        COrvStringA w;
        while (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\n') {
            if (*p == '\'') {
                const char* pEnd = strchr(p + 1, '\'');
                if (pEnd == nullptr)
                    return false;
                w.Append(p + 1, static_cast<int>(pEnd - p - 1));
                p = pEnd + 1;
            } else if (*p == '"') {
                ++p;
                while (*p != '"') {
                    if (*p == '\0')
                        return false;
                    if (*p == '\\' && (p[1] == '"' || p[1] == '\\' || p[1] == '$' || p[1] == '`'))
                        ++p;
                    w.AppendChar(*p++);
                }
                ++p;
            } else if (*p == '\\' && p[1] != '\0') {
                w.AppendChar(p[1]);
                p += 2;
            } else {
                w.AppendChar(*p++);
            }
        }
        if (words.Add(w) == COrvArray<COrvStringA>::kNoIndex)
            return false;
    }
}

bool OrvRunProgramOutputToFile(const char* pszProgram, const char* pszArguments,
                               const char* pszOutputFile, int& nExitCode, COrvStringA& strError) {
    COrvError err;
    const bool bOk =
        OrvRunProgramOutputToFile(pszProgram, pszArguments, pszOutputFile, nExitCode, err);
    strError = err.Text();
    return bOk;
}

bool OrvFindDesktopShell(int& nPid, COrvError& err) {
    nPid = 0;
    return err.SetErrno(ENOTSUP, "Finding the desktop shell: ");
}

COrvStringA OrvEscapeListText(const char* pszText) {
    COrvStringA s;
    for (const char* p = pszText != nullptr ? pszText : ""; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\\')
            s += "\\\\";
        else if (c == '\r')
            s += "\\r";
        else if (c == '\n')
            s += "\\n";
        else if (c == '\t')
            s += "\\t";
        else if (c < 0x20 || c == 0x7F)
            s.AppendFormat("\\x%02X", c);
        else
            s += static_cast<char>(c);
    }
    return s;
}
