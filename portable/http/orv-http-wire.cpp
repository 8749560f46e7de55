#include "orv-http-wire.h"

#include <errno.h>
#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "orv-http-auth.h"
#include "orv-socket.h"
#include "orv-sys.h"
#include "orv-time.h"

COrvStringA g_orv_http_client_description = "Linux";
COrvStringA g_orv_http_product_agent;

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool EqualsNoCase(const COrvStringA& s, const char* psz) {
    return s.CompareNoCase(psz) == 0;
}

// Adds a header to a map; a second value of the same name is joined with ", ".
bool AddHeader(COrvHttpHeaderMap& map, const COrvStringA& sName, const COrvStringA& sValue) {
    auto* p = map.Lookup(sName);
    if (p != nullptr) {
        p->m_value += ", ";
        p->m_value += sValue;
        return true;
    }
    return map.SetAt(sName, sValue) != nullptr;
}

// content-length: decimal digits, then only blanks. -1 when bad.
int64_t ParseContentLength(const COrvStringA& s) {
    const char* p = s.GetString();
    int64_t n = 0;
    int nDigits = 0;
    while (*p >= '0' && *p <= '9') {
        if (nDigits++ >= 18)
            return -1;
        n = n * 10 + (*p++ - '0');
    }
    while (IsBlank(*p))
        ++p;
    return nDigits > 0 && *p == 0 ? n : -1;
}

// CR, LF and NUL never go into a request or response header.
bool HasLineBreak(const COrvStringA& s) {
    const int n = s.GetLength();
    const char* p = s.GetString();
    for (int i = 0; i < n; ++i) {
        if (p[i] == '\r' || p[i] == '\n' || p[i] == 0)
            return true;
    }
    return false;
}

bool CheckHeaderName(const COrvStringA& sName, COrvError& err) {
    if (sName.IsEmpty())
        return err.Set(enNetBadRequest, "empty request header name");
    if (HasLineBreak(sName))
        return err.Set(enNetBadRequest, "CR or LF in request header name");
    if (sName.FindOneOf(": \t") >= 0)
        return err.SetFormat(enNetBadRequest, "bad character in request header name '%s'",
                             sName.GetString());
    return true;
}

bool CheckField(const COrvStringA& sValue, const char* pszWhat, COrvError& err) {
    if (HasLineBreak(sValue))
        return err.SetFormat(enNetBadRequest, "CR or LF in %s", pszWhat);
    return true;
}

// The framing of a message with transfer codings (sCodings: the values of every
// transfer-encoding line, each after a ","): chunked when "chunked" is the last coding, else the
// body ends with the connection. "identity" changes nothing; any other coding (or "chunked"
// before the last place) would leave the body encoded, so the message is refused.
bool FramingOfCodings(const COrvStringA& sCodings, int64_t& n64BodyLen, COrvError& err) {
    bool bChunkedLast = false;
    for (int iStart = 0; iStart <= sCodings.GetLength();) {
        int iEnd = sCodings.Find(',', iStart);
        if (iEnd < 0)
            iEnd = sCodings.GetLength();
        COrvStringA sCoding = sCodings.Mid(iStart, iEnd - iStart);
        iStart = iEnd + 1;
        sCoding.Trim();
        if (sCoding.IsEmpty())
            continue;
        if (bChunkedLast ||
            (!EqualsNoCase(sCoding, "chunked") && !EqualsNoCase(sCoding, "identity")))
            return err.SetFormat(enNetServer, "Unsupported Transfer-Encoding: %s",
                                 sCodings.Mid(1).GetString());
        bChunkedLast = EqualsNoCase(sCoding, "chunked");
    }
    n64BodyLen = bChunkedLast ? kOrvHttpLenChunked : kOrvHttpLenUnknown;
    return true;
}

}  // namespace

bool vHttpRecvHeader(COrvHttpReader& reader, COrvHttpHeaderBlock& block, COrvError& err,
                     bool* pbEofAtStart) {
    block.m_sFirstLine.Empty();
    block.m_headers.RemoveAll();
    block.m_setCookieLines.RemoveAll();
    block.m_cookieLines.RemoveAll();
    block.m_n64BodyLen = kOrvHttpLenUnknown;
    block.m_bClose = false;
    if (pbEofAtStart)
        *pbEofAtStart = false;

    bool bHaveLength = false;
    int64_t n64Length = kOrvHttpLenUnknown;
    COrvStringA sCodings;  // every transfer-encoding value, joined by ","
    int nHeaderLines = 0;
    COrvStringA sLine;
    for (bool bFirst = true;; bFirst = false) {
        int nPartial = 0;
        const int r = reader.ReadLine(sLine, kOrvHttpMaxLine, err, &nPartial);
        if (r == COrvHttpReader::kFail)
            return false;
        if (r == COrvHttpReader::kEof) {
            if (bFirst && nPartial == 0) {
                if (pbEofAtStart)
                    *pbEofAtStart = true;
                return err.Set(enNetConnection, "Unexpected EOF when reading reply");
            }
            return err.Set(enNetConnection, "socket EOF while receiving HTTP header");
        }
        if (bFirst) {
            block.m_sFirstLine = sLine;
            continue;
        }
        if (sLine.IsEmpty()) {
            if (sCodings.IsEmpty()) {
                block.m_n64BodyLen = n64Length;
                return true;
            }
            return FramingOfCodings(sCodings, block.m_n64BodyLen, err);
        }
        if (++nHeaderLines >= kOrvHttpMaxHeaderLines)
            return err.Set(enNetServer, "More than 100 HTTP headers");
        const int iColon = sLine.Find(':');
        if (iColon <= 0)
            return err.SetFormat(enNetServer, "Bad HTTP header line: '%s'", sLine.GetString());
        COrvStringA sName = sLine.Left(iColon);
        sName.TrimRight(' ').TrimRight('\t');
        const char* pValue = sLine.GetString() + iColon + 1;
        while (IsBlank(*pValue))
            ++pValue;
        int nValue = static_cast<int>(sLine.GetString() + sLine.GetLength() - pValue);
        while (nValue > 0 && IsBlank(pValue[nValue - 1]))
            --nValue;
        const COrvStringA sValue(pValue, nValue);

        if (EqualsNoCase(sName, "content-length")) {
            const int64_t n = ParseContentLength(sValue);
            if (n < 0)
                return err.SetFormat(enNetServer, "Bad Content-Length HTTP header: %s",
                                     sValue.GetString());
            // A transfer coding decides the framing and makes any length meaningless.
            if (bHaveLength && sCodings.IsEmpty())
                return err.Set(enNetServer, "Duplicate Content-Length line in HTTP header");
            n64Length = n;
            bHaveLength = true;
        } else if (EqualsNoCase(sName, "transfer-encoding")) {
            sCodings += ",";
            sCodings += sValue;
        } else if ((EqualsNoCase(sName, "connection") || EqualsNoCase(sName, "proxy-connection")) &&
                   EqualsNoCase(sValue, "close")) {
            block.m_bClose = true;
        }
        bool bStored;
        if (EqualsNoCase(sName, "set-cookie"))
            bStored = block.m_setCookieLines.Add(sValue) != static_cast<size_t>(-1);
        else if (EqualsNoCase(sName, "cookie"))
            bStored = block.m_cookieLines.Add(sValue) != static_cast<size_t>(-1);
        else
            bStored = AddHeader(block.m_headers, sName, sValue);
        if (!bStored)
            return err.Set(enNetNoMemory, "out of memory for HTTP headers");
    }
}

bool OrvHttpParseStatusLine(const COrvStringA& sLine, int& nStatus, COrvStringA& sReason,
                            COrvError& err) {
    nStatus = 0;
    sReason.Empty();
    const char* p = sLine.GetString();
    const int n = sLine.GetLength();
    bool bOk = n > 9 && std::strncmp(p, "HTTP/1.", 7) == 0 && p[7] >= '0' && p[7] <= '9' &&
               p[8] == ' ' && p[9] >= '0' && p[9] <= '9';
    int i = 9;
    int nValue = 0;
    while (bOk && i < n && p[i] >= '0' && p[i] <= '9') {
        if (i >= 18) {  // more digits than any status has
            bOk = false;
            break;
        }
        nValue = nValue * 10 + (p[i++] - '0');
    }
    if (bOk && i < n && p[i] != ' ')
        bOk = false;
    if (!bOk)
        return err.SetFormat(enNetServer, "Bad HTTP header Status-Line: '%s'", p);
    nStatus = nValue;
    if (i < n)
        sReason = sLine.Mid(i + 1);
    return true;
}

bool OrvHttpRecvResponseHeader(COrvHttpReader& reader, COrvHttpTxn& txn, COrvError& err,
                               bool* pbEofAtStart) {
    txn.ResetResponse();
    COrvHttpHeaderBlock block;
    if (!vHttpRecvHeader(reader, block, err, pbEofAtStart))
        return false;
    if (!OrvHttpParseStatusLine(block.m_sFirstLine, txn.m_nStatus, txn.m_sReason, err))
        return false;
    for (ORVPOSITION pos = block.m_headers.GetHeadPosition(); pos != nullptr;) {
        const auto* p = block.m_headers.GetNext(pos);
        txn.m_responseHeaders.SetAt(p->m_key, p->m_value);
    }
    for (size_t i = 0; i < block.m_setCookieLines.GetCount(); ++i)
        txn.m_setCookieLines.Add(block.m_setCookieLines[i]);
    for (size_t i = 0; i < block.m_cookieLines.GetCount(); ++i)
        txn.m_cookieLines.Add(block.m_cookieLines[i]);
    txn.m_n64RecvBodyLen = block.m_n64BodyLen;
    txn.m_bConnectionClose = block.m_bClose;
    txn.m_sServer = txn.GetResponseHeader("server");
    return true;
}

// ---- requests ----

COrvStringA OrvHttpUserAgentValue() {
    COrvStringA s;
    if (!g_orv_http_product_agent.IsEmpty())
        s.Format("%s (%s)", g_orv_http_product_agent.GetString(),
                 g_orv_http_client_description.GetString());
    else
        s.Format("OrvSocket/%d.%d.%d.%d (%s)", kOrvHttpVersion[0], kOrvHttpVersion[1],
                 kOrvHttpVersion[2], kOrvHttpVersion[3], g_orv_http_client_description.GetString());
    return s;
}

COrvStringA OrvHttpServerHeaderValue() {
    COrvStringA s;
    if (g_orv_http_product_agent.IsEmpty())
        return OrvHttpUserAgentValue();
    if (g_orv_http_client_description.IsEmpty())
        return g_orv_http_product_agent;
    s.Format("%s (%s)", g_orv_http_product_agent.GetString(),
             g_orv_http_client_description.GetString());
    return s;
}

bool OrvHttpBuildRequestHeader(const COrvHttpTxn& txn, const COrvHttpRequestContext& ctx,
                               COrvStringA& sHeader, COrvError& err) {
    sHeader.Empty();
    if (txn.m_nBodyMode != enHttpBodyString && txn.m_nBodyMode != enHttpBodyBuffer &&
        txn.m_nBodyMode != enHttpBodyStream)
        return err.Set(enNetBadRequest, "bad type of body upload");
    const COrvStringA sPath = txn.m_sPath.IsEmpty() ? COrvStringA("/") : txn.m_sPath;
    if (txn.m_sMethod.IsEmpty() || txn.m_sMethod.FindOneOf(" \t") >= 0 ||
        HasLineBreak(txn.m_sMethod))
        return err.Set(enNetBadRequest, "CR, LF or blank in request method");
    if (!CheckField(sPath, "request path", err) || !CheckField(ctx.m_sHost, "request host", err))
        return false;
    if (sPath.FindOneOf(" \t") >= 0)
        return err.Set(enNetBadRequest, "blank in request path");

    // Every header the client adds, merged with the caller's in one name-ordered map.
    COrvHttpHeaderMap added;
    COrvStringA sValue;
    if (!OrvHttpServerAuthorization(txn, ctx, sValue, err))
        return false;
    if (!sValue.IsEmpty())
        added.SetAt("Authorization", sValue);
    if (ctx.m_bViaHttpProxy || ctx.m_bTunnelRequest) {
        if (!OrvHttpProxyAuthorization(txn, ctx, sValue, err))
            return false;
        if (!sValue.IsEmpty())
            added.SetAt("Proxy-Authorization", sValue);
    }
    if (!ctx.m_sCookieHeader.IsEmpty())
        added.SetAt("Cookie", ctx.m_sCookieHeader);
    if (txn.m_bAddStandardHeaders && txn.m_requestHeaders.Lookup("Date") == nullptr) {
        COrvStringA sDate;
        if (OrvFormatInetTime(ctx.m_tNow != 0 ? ctx.m_tNow : OrvTimeNow(), sDate))
            added.SetAt("Date", sDate);
    }
    const int64_t nBodyLen = txn.m_nBodyMode == enHttpBodyString && txn.m_n64BodyLen >= 0
                                 ? txn.m_sRequestBody.GetLength()
                                 : txn.m_n64BodyLen;
    if (nBodyLen == -1) {
        added.SetAt("Transfer-Encoding", "chunked");
    } else if (nBodyLen < 0) {
        return err.Set(enNetBadRequest, "bad send body length");
    } else {
        COrvStringA sLen;
        sLen.Format("%lld", static_cast<long long>(nBodyLen));
        added.SetAt("Content-Length", sLen);
    }
    if (txn.m_bAddStandardHeaders) {
        added.SetAt("Connection", "Keep-Alive");
        if (ctx.m_bViaHttpProxy) {
            added.SetAt("Pragma", "no-cache");
            added.SetAt("Cache-Control", "no-cache");
        }
        if (txn.m_requestHeaders.Lookup("User-Agent") == nullptr)
            added.SetAt("User-Agent", OrvHttpUserAgentValue());
    }
    // The caller's headers replace the client's of the same name.
    for (ORVPOSITION pos = txn.m_requestHeaders.GetHeadPosition(); pos != nullptr;) {
        const auto* p = txn.m_requestHeaders.GetNext(pos);
        if (!CheckHeaderName(p->m_key, err))
            return false;
        if (HasLineBreak(p->m_value))
            return err.SetFormat(enNetBadRequest, "CR or LF in request header value of '%s'",
                                 p->m_key.GetString());
        if (added.Lookup(p->m_key) != nullptr && (EqualsNoCase(p->m_key, "Content-Length") ||
                                                  EqualsNoCase(p->m_key, "Transfer-Encoding")))
            continue;  // the framing always follows the body length
        // The caller's credentials and cookies were meant for the origin it named.
        if (!ctx.m_bSendCredentials &&
            (EqualsNoCase(p->m_key, "Authorization") || EqualsNoCase(p->m_key, "Cookie") ||
             EqualsNoCase(p->m_key, "Proxy-Authorization")))
            continue;
        added.SetAt(p->m_key, p->m_value);
    }
    if (HasLineBreak(ctx.m_sCookieHeader))
        return err.Set(enNetBadRequest, "CR or LF in the Cookie header");

    // Request-Line and Host.
    // An IPv6 literal keeps its brackets in the absolute form and in Host.
    const COrvStringA sUrlHost = OrvHostUrlForm(ctx.m_sHost);
    if (ctx.m_bViaHttpProxy)
        sHeader.Format("%s http://%s:%d%s HTTP/1.1\r\n", txn.m_sMethod.GetString(),
                       sUrlHost.GetString(), ctx.m_nPort, sPath.GetString());
    else
        sHeader.Format("%s %s HTTP/1.1\r\n", txn.m_sMethod.GetString(), sPath.GetString());
    bool bHostGiven = false;
    COrvStringA sHost = txn.GetRequestHeader("Host", &bHostGiven);
    if (!bHostGiven) {
        sHost = sUrlHost;
        if (ctx.m_nPort != (ctx.m_bHttps ? 443 : 80))
            sHost.AppendFormat(":%d", ctx.m_nPort);
    }
    sHeader += "Host: ";
    sHeader += sHost;
    sHeader += "\r\n";
    for (ORVPOSITION pos = added.GetHeadPosition(); pos != nullptr;) {
        const auto* p = added.GetNext(pos);
        if (EqualsNoCase(p->m_key, "host"))
            continue;
        sHeader += p->m_key;
        sHeader += ": ";
        sHeader += p->m_value;
        sHeader += "\r\n";
    }
    sHeader += "\r\n";
    return true;
}

bool OrvHttpWriteBody(IOrvByteSink& sink, COrvHttpTxn& txn, const void* pData, int64_t nLen,
                      COrvError& err) {
    if (nLen <= 0)
        return true;
    if (txn.m_n64BodyLen != -1) {
        if (!sink.WriteAll(pData, nLen, err))
            return false;
        txn.m_n64BytesSent += nLen;
        return true;
    }
    char szSize[24];
    const int nSize =
        std::snprintf(szSize, sizeof szSize, "%llx\r\n", static_cast<unsigned long long>(nLen));
    if (!sink.WriteAll(szSize, nSize, err) || !sink.WriteAll(pData, nLen, err) ||
        !sink.WriteAll("\r\n", 2, err)) {
        err.AddContext("Cannot write chunk: ");
        return false;
    }
    txn.m_n64BytesSent += nSize + nLen + 2;
    return true;
}

bool OrvHttpFinishBody(IOrvByteSink& sink, COrvHttpTxn& txn, COrvError& err) {
    if (txn.m_n64BodyLen == -1) {
        if (!sink.WriteAll("0\r\n\r\n", 5, err)) {
            err.AddContext("Cannot write chunk: ");
            return false;
        }
        txn.m_n64BytesSent += 5;
    }
    if (!sink.Flush(err)) {
        err.AddContext("Cannot flush chunk: ");
        return false;
    }
    return true;
}

bool OrvHttpSendRequest(IOrvByteSink& sink, COrvHttpTxn& txn, const COrvHttpRequestContext& ctx,
                        COrvError& err) {
    COrvStringA sHeader;
    if (!OrvHttpBuildRequestHeader(txn, ctx, sHeader, err))
        return false;
    if (!sink.WriteAll(sHeader.GetString(), sHeader.GetLength(), err))
        return false;
    txn.m_n64BytesSent = sHeader.GetLength();
    if (txn.m_nBodyMode == enHttpBodyStream)
        return true;
    const void* pBody = txn.m_pBody;
    int64_t nLen = txn.m_n64BodyLen;
    if (txn.m_nBodyMode == enHttpBodyString) {
        // The string's bytes are the body, sent as they are or as one chunk.
        pBody = txn.m_sRequestBody.GetString();
        nLen = txn.m_sRequestBody.GetLength();
    }
    if (nLen > 0 && pBody == nullptr)
        return err.Set(enNetBadRequest, "no body buffer for the request body");
    if (!OrvHttpWriteBody(sink, txn, pBody, nLen, err))
        return false;
    return OrvHttpFinishBody(sink, txn, err);
}

bool OrvHttpWriteFileBody(IOrvByteSink& sink, COrvHttpTxn& txn, const char* pszPath,
                          COrvError& err) {
    const int fd = OrvSysOpen(pszPath, O_RDONLY);
    if (fd < 0) {
        const int e = errno;
        COrvStringA s("cannot open file to read: ");
        s += pszPath;
        s += ": ";
        return err.SetErrno(e, s);
    }
    char* pBuf = static_cast<char*>(std::malloc(32768));
    bool bOk = pBuf != nullptr || err.Set(enNetNoMemory, "out of memory for file blocks");
    while (bOk) {
        const long n = OrvSysRead(fd, pBuf, 32768);
        if (n < 0) {
            const int e = errno;
            COrvStringA s("cannot read file: ");
            s += pszPath;
            s += ": ";
            bOk = err.SetErrno(e, s);
            break;
        }
        if (n == 0)
            break;
        if (!OrvHttpWriteBody(sink, txn, pBuf, n, err)) {
            err.AddContext("cannot write file: ");
            bOk = false;
        }
    }
    std::free(pBuf);
    OrvSysClose(fd);
    return bOk;
}

// ---- the server side ----

OrvHttpMethod OrvHttpMethodFromName(const char* pszName) {
    static const struct {
        const char* psz;
        OrvHttpMethod e;
    } kNames[] = {{"get", enHttpMethodGet},      {"head", enHttpMethodHead},
                  {"move", enHttpMethodMove},    {"mkcol", enHttpMethodMkcol},
                  {"copy", enHttpMethodCopy},    {"options", enHttpMethodOptions},
                  {"delete", enHttpMethodDelete}};
    const COrvStringA s(pszName);
    for (const auto& k : kNames) {
        if (s.CompareNoCase(k.psz) == 0)
            return k.e;
    }
    return enHttpMethodOther;
}

bool OrvHttpRecvRequestHeader(COrvHttpReader& reader, COrvHttpServerRequest& req, COrvError& err,
                              bool* pbEofAtStart) {
    req.m_sMethod.Empty();
    req.m_eMethod = enHttpMethodOther;
    req.m_sTarget.Empty();
    req.m_sVersion.Empty();
    if (!vHttpRecvHeader(reader, req.m_block, err, pbEofAtStart))
        return false;
    const COrvStringA& sLine = req.m_block.m_sFirstLine;
    const int n = sLine.GetLength();
    const COrvStringA sTail = sLine.Right(9);
    if (n < 9 || (sTail.CompareNoCase(" http/1.0") != 0 && sTail.CompareNoCase(" http/1.1") != 0))
        return err.SetFormat(enNetServer, "Bad HTTP header tail: '%s'", sLine.GetString());
    const int iSpace = sLine.Find(' ');
    if (iSpace <= 0 || iSpace >= n - 9)
        return err.SetFormat(enNetServer, "Bad HTTP header middle: '%s'", sLine.GetString());
    req.m_sMethod = sLine.Left(iSpace);
    req.m_eMethod = OrvHttpMethodFromName(req.m_sMethod);
    req.m_sTarget = sLine.Mid(iSpace + 1, n - 9 - iSpace - 1);
    req.m_sTarget.Trim();
    req.m_sVersion = sTail.Mid(1);
    return true;
}

bool OrvHttpWriteResponseHeader(IOrvByteSink& sink, int nStatus, const char* pszReason,
                                const COrvHttpHeaderMap& headers, COrvError& err) {
    const COrvStringA sReason(pszReason);
    if (!CheckField(sReason, "response reason", err))
        return false;
    COrvStringA s;
    s.Format("HTTP/1.1 %03d %s\r\n", nStatus, sReason.GetString());
    if (headers.Lookup("server") == nullptr) {
        s += "server: ";
        s += OrvHttpServerHeaderValue();
        s += "\r\n";
    }
    for (ORVPOSITION pos = headers.GetHeadPosition(); pos != nullptr;) {
        const auto* p = headers.GetNext(pos);
        if (!CheckHeaderName(p->m_key, err))
            return false;
        if (HasLineBreak(p->m_value))
            return err.SetFormat(enNetBadRequest, "CR or LF in response header value of '%s'",
                                 p->m_key.GetString());
        s += p->m_key;
        s += ": ";
        s += p->m_value;
        s += "\r\n";
    }
    s += "\r\n";
    return sink.WriteAll(s.GetString(), s.GetLength(), err);
}
