#include "orv-http-multipart.h"

#include <openssl/rand.h>

#include <strings.h>

#include <cstring>

#include "orv-http-wire.h"

namespace {

// Index of the first occurrence of pszWhat in sIn at or after iStart, or -1. Binary-safe: a body
// may hold NUL bytes.
int FindBytes(const COrvStringA& sIn, const char* pWhat, int nWhat, int iStart) {
    const int n = sIn.GetLength();
    if (iStart < 0 || iStart > n || nWhat <= 0)
        return -1;
    const void* p = memmem(sIn.GetString() + iStart, n - iStart, pWhat, nWhat);
    return p ? static_cast<int>(static_cast<const char*>(p) - sIn.GetString()) : -1;
}
int FindBytes(const COrvStringA& sIn, const char* psz, int iStart) {
    return FindBytes(sIn, psz, static_cast<int>(std::strlen(psz)), iStart);
}

bool HasLineBreak(const char* psz) {
    return psz != nullptr && std::strpbrk(psz, "\r\n") != nullptr;
}

int64_t Emit(IOrvByteSink* pSink, COrvHttpTxn* pTxn, const COrvStringA& s, COrvError& err) {
    if (pSink != nullptr) {
        COrvHttpTxn scratch;  // without a txn the bytes go out unframed
        scratch.m_n64BodyLen = 0;
        if (!OrvHttpWriteBody(*pSink, pTxn ? *pTxn : scratch, s.GetString(), s.GetLength(), err))
            return -1;
    }
    return s.GetLength();
}

bool CheckParts(const char* pszBoundary, const char* pszDisposition, const char* pszContentType,
                COrvError& err) {
    if (pszBoundary == nullptr || *pszBoundary == 0)
        return err.Set(enNetBadRequest, "empty multipart boundary");
    if (HasLineBreak(pszBoundary) || HasLineBreak(pszDisposition) || HasLineBreak(pszContentType))
        return err.Set(enNetBadRequest, "CR or LF in a multipart part header");
    return true;
}

COrvStringA PartHead(const char* pszBoundary, const char* pszDisposition,
                     const char* pszContentType) {
    COrvStringA s;
    s.Format("--%s\r\n", pszBoundary);
    if (pszDisposition != nullptr && *pszDisposition != 0)
        s.AppendFormat("content-disposition: %s\r\n", pszDisposition);
    s.AppendFormat("Content-Type: %s\r\n", pszContentType ? pszContentType : "");
    return s;
}

// The value of a parameter (name=value or name="value") of a header value; empty when absent.
bool HeaderParam(const COrvStringA& sValue, const char* pszName, COrvStringA& sOut) {
    const char* p = sValue.GetString();
    const size_t nName = std::strlen(pszName);
    while ((p = std::strchr(p, ';')) != nullptr) {
        ++p;
        while (*p == ' ' || *p == '\t')
            ++p;
        if (strncasecmp(p, pszName, nName) != 0 || p[nName] != '=')
            continue;
        p += nName + 1;
        sOut.Empty();
        if (*p == '"') {
            ++p;
            while (*p != 0 && *p != '"') {
                if (*p == '\\' && p[1] != 0)
                    ++p;
                sOut.AppendChar(*p++);
            }
        } else {
            while (*p != 0 && *p != ';' && *p != ' ' && *p != '\t')
                sOut.AppendChar(*p++);
        }
        return true;
    }
    return false;
}

}  // namespace

bool OrvHttpNewBoundary(COrvStringA& sBoundary, COrvError& err) {
    unsigned char b[16];
    sBoundary.Empty();
    if (RAND_bytes(b, sizeof b) != 1)
        return err.Set(enNetResources, "cannot get random bytes for a GUID");
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    sBoundary.Format("{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[0],
                     b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12],
                     b[13], b[14], b[15]);
    return true;
}

int64_t OrvHttpMultipartFileHeader(IOrvByteSink* pSink, COrvHttpTxn* pTxn, const char* pszBoundary,
                                   const char* pszDisposition, const char* pszContentType,
                                   COrvError& err) {
    if (!CheckParts(pszBoundary, pszDisposition, pszContentType, err))
        return -1;
    COrvStringA s = PartHead(pszBoundary, pszDisposition, pszContentType);
    s += "Content-Transfer-Encoding: binary\r\n\r\n";
    return Emit(pSink, pTxn, s, err);
}

int64_t OrvHttpMultipartFileEnd(IOrvByteSink* pSink, COrvHttpTxn* pTxn, COrvError& err) {
    return Emit(pSink, pTxn, "\r\n", err);
}

int64_t OrvHttpMultipartTextPart(IOrvByteSink* pSink, COrvHttpTxn* pTxn, const char* pszBoundary,
                                 const char* pszDisposition, const char* pszContentType,
                                 const COrvStringA& sValue, COrvError& err) {
    if (!CheckParts(pszBoundary, pszDisposition, pszContentType, err))
        return -1;
    COrvStringA s = PartHead(pszBoundary, pszDisposition, pszContentType);
    s += "\r\n";
    s += sValue;
    s += "\r\n";
    return Emit(pSink, pTxn, s, err);
}

int64_t OrvHttpMultipartClose(IOrvByteSink* pSink, COrvHttpTxn* pTxn, const char* pszBoundary,
                              COrvError& err) {
    if (!CheckParts(pszBoundary, nullptr, nullptr, err))
        return -1;
    COrvStringA s;
    s.Format("--%s--\r\n", pszBoundary);
    return Emit(pSink, pTxn, s, err);
}

bool OrvHttpParseFormSubmit(const char* pszContentType, const COrvStringA& sBody,
                            COrvArray<COrvHttpFormPart>& parts, COrvError& err) {
    parts.RemoveAll();
    const COrvStringA sType(pszContentType);
    COrvStringA sMedia = sType;
    const int iSemi = sMedia.Find(';');
    if (iSemi >= 0)
        sMedia = sMedia.Left(iSemi);
    if (sMedia.Trim().CompareNoCase("multipart/form-data") != 0)
        return err.Set(enNetBadRequest, "Wrong Content-Type: " + sType);
    COrvStringA sBoundary;
    if (!HeaderParam(sType, "boundary", sBoundary) || sBoundary.IsEmpty())
        return err.Set(enNetBadRequest, "No boundary in form submit body: " + sType);
    const COrvStringA sDelim = "--" + sBoundary;
    const COrvStringA sNextDelim = "\r\n" + sDelim;
    const char* pBody = sBody.GetString();
    const int nBody = sBody.GetLength();
    int nPos = 0;
    for (;;) {
        if (nBody - nPos < sDelim.GetLength() ||
            std::memcmp(pBody + nPos, sDelim.GetString(), sDelim.GetLength()) != 0)
            return err.SetFormat(enNetBadRequest, "Bad part start at pos %d in submit body", nPos);
        const int nPartStart = nPos;
        nPos += sDelim.GetLength();
        if (nBody - nPos >= 2 && pBody[nPos] == '-' && pBody[nPos + 1] == '-')
            return true;  // the closing delimiter
        if (nBody - nPos < 2 || pBody[nPos] != '\r' || pBody[nPos + 1] != '\n')
            return err.SetFormat(enNetBadRequest, "Bad part start at pos %d in submit body",
                                 nPartStart);
        const int nHeaderStart = nPos + 2;
        // The header ends at the first empty line: LF, CR, LF.
        int nHeaderEnd = FindBytes(sBody, "\n\r", nHeaderStart);
        if (nHeaderEnd < 0) {
            return err.SetFormat(enNetBadRequest,
                                 "No \\r in header end in form submit body: header_end=%d",
                                 FindBytes(sBody, "\n\n", nHeaderStart));
        }
        if (nHeaderEnd + 2 >= nBody || pBody[nHeaderEnd + 2] != '\n')
            return err.SetFormat(enNetBadRequest,
                                 "No \\n after header end in form submit body: header_end=%d",
                                 nHeaderEnd);
        if (nHeaderEnd == nHeaderStart || pBody[nHeaderEnd - 1] != '\r')
            return err.SetFormat(enNetBadRequest,
                                 "Bad header end in form submit body: header_end=%d", nHeaderEnd);
        COrvHttpFormPart part;
        bool bDisposition = false;
        // Header lines, each ended by CR LF.
        for (int iLine = nHeaderStart; iLine < nHeaderEnd;) {
            int iEnd = FindBytes(sBody, "\r\n", iLine);
            if (iEnd < 0 || iEnd > nHeaderEnd)
                iEnd = nHeaderEnd - 1;
            const COrvStringA sLine = sBody.Mid(iLine, iEnd - iLine);
            iLine = iEnd + 2;
            const int iColon = sLine.Find(':');
            if (iColon <= 0)
                continue;
            COrvStringA sName = sLine.Left(iColon);
            COrvStringA sValue = sLine.Mid(iColon + 1);
            sName.Trim();
            sValue.Trim();
            if (sName.CompareNoCase("content-disposition") == 0) {
                COrvStringA sKind = sValue;
                const int iKindEnd = sKind.Find(';');
                if (iKindEnd >= 0)
                    sKind = sKind.Left(iKindEnd);
                if (sKind.Trim().CompareNoCase("form-data") != 0 ||
                    !HeaderParam(sValue, "name", part.m_sName) || part.m_sName.IsEmpty())
                    return err.Set(enNetBadRequest,
                                   "Wrong content disposition in form submit body: " + sValue);
                HeaderParam(sValue, "filename", part.m_sFileName);
                bDisposition = true;
            } else if (sName.CompareNoCase("content-type") == 0) {
                part.m_sContentType = sValue;
            }
        }
        if (!bDisposition)
            return err.Set(enNetBadRequest,
                           "Wrong content disposition in form submit body: (none)");
        const int nDataStart = nHeaderEnd + 3;
        const int nDataEnd =
            FindBytes(sBody, sNextDelim.GetString(), sNextDelim.GetLength(), nDataStart);
        if (nDataEnd < 0)
            return err.SetFormat(enNetBadRequest,
                                 "Cannot find end boundary in submit body: header_start=%d",
                                 nHeaderStart);
        part.m_sData = sBody.Mid(nDataStart, nDataEnd - nDataStart);
        if (parts.Add(part) == static_cast<size_t>(-1))
            return err.Set(enNetNoMemory, "out of memory for form parts");
        nPos = nDataEnd + 2;
    }
}
