// The support server's requests: the upload form, the login that gives the ticket page, and the
// ticket form. Always TLS with the server's certificate verified.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "orv-crash-report.h"
#include "orv-crash.h"
#include "orv-file.h"
#include "orv-http-connection.h"
#include "orv-http-multipart.h"
#include "orv-log.h"
#include "orv-osver.h"
#include "orv-url.h"

namespace {

constexpr int kAttempts = 3;

// A connection to the support host ("name" or "name:port") over verified TLS.
bool Configure(COrvHttpConnection& conn, const char* pszHost, IOrvTransferObserver* pProgress,
               COrvError& err) {
    if (pszHost == nullptr || *pszHost == '\0')
        return err.Set(enNetBadRequest, "No support server is set");
    const char* pszColon = strrchr(pszHost, ':');
    conn.m_sHost = pszColon ? COrvStringA(pszHost, static_cast<int>(pszColon - pszHost))
                            : COrvStringA(pszHost);
    conn.m_nPort = pszColon ? atoi(pszColon + 1) : 443;
    conn.m_bHttps = true;
    conn.m_bPlainTarget = false;
    conn.m_net.m_tls.m_bTrustAny = false;
    // The support server's own roots widen the trust of this connection only.
    conn.m_net.m_tls.m_sCaFile = g_orv_support_roots;
    conn.m_net.m_nConnectTimeout = 30;
    conn.m_pObserver = pProgress;
    return true;
}

// Whether a failed attempt may be followed by another: only connection failures and retry-now.
bool MayRetry(int nCode) {
    return nCode == enNetConnection || nCode == enNetRetry;
}

// Runs pfnAttempt up to kAttempts times under the retry rule; each failure is logged with
// pszLogLine, and the last one gets pszTooMany added.
template <typename Fn>
bool WithAttempts(Fn pfnAttempt, const char* pszLogLine, const char* pszTooMany, COrvError& err) {
    for (int nAttempt = 1;; ++nAttempt) {
        COrvError errAttempt;
        if (pfnAttempt(errAttempt))
            return true;
        g_orv_log.Printf(pszLogLine, errAttempt.Text().GetString());
        if (!MayRetry(errAttempt.Code()))
            return err.Set(errAttempt.Code(), errAttempt.Text());
        if (nAttempt == kAttempts)
            return err.Set(errAttempt.Code(), errAttempt.Text() + pszTooMany);
    }
}

bool PostForm(const char* pszHost, const char* pszPath, const COrvStringA& sBody, bool bFollow,
              COrvHttpTxn& txn, IOrvTransferObserver* pProgress, COrvError& err) {
    COrvHttpConnection conn;
    if (!Configure(conn, pszHost, pProgress, err))
        return false;
    txn.m_sMethod = "POST";
    txn.m_sPath = pszPath;
    txn.m_bFollowRedirects = bFollow;
    txn.m_requestHeaders.SetAt("Content-Type", "application/x-www-form-urlencoded");
    txn.m_sRequestBody = sBody;
    return OrvHttpSendReceive(conn, txn, err);
}

void AddField(COrvStringA& s, const char* pszName, const COrvStringA& sValue) {
    if (!s.IsEmpty())
        s += '&';
    s += pszName;
    s += '=';
    s += OrvUrlEscapeQueryValueA(sValue);
}

// The value of "name=" in an answer of "name=value" lines, trimmed; empty when absent.
COrvStringA AnswerValue(const COrvStringA& sAnswer, const char* pszName) {
    const COrvStringA sKey = COrvStringA(pszName) + "=";
    for (int nAt = 0; nAt < sAnswer.GetLength();) {
        int nEnd = sAnswer.Find('\n', nAt);
        if (nEnd < 0)
            nEnd = sAnswer.GetLength();
        COrvStringA sLine = sAnswer.Mid(nAt, nEnd - nAt);
        sLine.Trim();
        if (sLine.Left(sKey.GetLength()) == sKey)
            return sLine.Mid(sKey.GetLength());
        nAt = nEnd + 1;
    }
    return COrvStringA();
}

}  // namespace

bool TvUploadMimeFileInForm(const char* pszHost, const char* pszPath, const char* pszFile,
                            const char* pszDestName, COrvStringA& sResponse,
                            IOrvTransferObserver* pProgress, COrvError& err) {
    struct stat st;
    if (stat(pszFile, &st) != 0)
        return err.SetErrno(errno, (COrvStringA("Cannot get file size: ") + pszFile + ": "));
    COrvStringA sBoundary;
    if (!OrvHttpNewBoundary(sBoundary, err))
        return false;
    const char* pszName = strrchr(pszFile, '/');
    pszName = pszName ? pszName + 1 : pszFile;
    COrvStringA sFileDisp;
    sFileDisp.Format("form-data; name=\"file\"; filename=\"%s\"", pszName);
    const char* pszTextDisp = "form-data; name=\"destname\"";
    auto attempt = [&](COrvError& e) {
        COrvHttpConnection conn;
        if (!Configure(conn, pszHost, pProgress, e))
            return false;
        COrvHttpTxn txn;
        txn.m_sMethod = "POST";
        txn.m_sPath = pszPath;
        txn.m_nBodyMode = enHttpBodyStream;
        txn.m_requestHeaders.SetAt("Content-Type", "multipart/form-data; boundary=" + sBoundary);
        txn.m_n64BodyLen = OrvHttpMultipartTextPart(nullptr, &txn, sBoundary, pszTextDisp,
                                                    "text/plain", pszDestName, e) +
                           OrvHttpMultipartFileHeader(nullptr, &txn, sBoundary, sFileDisp,
                                                      "application/octet-stream", e) +
                           static_cast<int64_t>(st.st_size) +
                           OrvHttpMultipartFileEnd(nullptr, &txn, e) +
                           OrvHttpMultipartClose(nullptr, &txn, sBoundary, e);
        if (e.Failed() || !OrvHttpSendReceive(conn, txn, e))
            return false;
        IOrvByteSink* pSink = &conn.Stream();
        if (OrvHttpMultipartTextPart(pSink, &txn, sBoundary, pszTextDisp, "text/plain", pszDestName,
                                     e) <= 0 ||
            OrvHttpMultipartFileHeader(pSink, &txn, sBoundary, sFileDisp,
                                       "application/octet-stream", e) <= 0 ||
            !conn.WriteFile(txn, pszFile, e) || OrvHttpMultipartFileEnd(pSink, &txn, e) <= 0 ||
            OrvHttpMultipartClose(pSink, &txn, sBoundary, e) <= 0 || !conn.FinishBody(txn, e) ||
            !conn.ReceiveResponse(txn, e))
            return false;
        sResponse = txn.m_sBody;
        return true;
    };
    return WithAttempts(attempt, "TvUploadMimeFileInForm: error on Submit: %s\n",
                        "; TvUploadMimeFileInForm: too many attempts", err);
}

namespace {

bool TicketUrl(const char* pszHost, COrvStringA& sUrl, COrvError& err) {
    const char* pszMissing = g_orv_account_user.IsEmpty() ? "No User Account UserId is specified"
                             : g_orv_account_password.IsEmpty()
                                 ? "No User Account password is specified"
                                 : nullptr;
    if (pszMissing) {
        g_orv_log.Printf("TvGetCreateTicketUrl: No Account: %s\n", pszMissing);
        return err.Set(enNetAuth, pszMissing);
    }
    const OrvOsVersion& os = OrvGetOsVersion();
    COrvStringA sBody;
    AddField(sBody, "userid", g_orv_account_user);
    AddField(sBody, "password", g_orv_account_password);
    sBody += "&supporturl=1";
    COrvStringA sPlatform;
    sPlatform.Format("%d", os.nPlatform);
    AddField(sBody, "platform", sPlatform);
    AddField(sBody, "oscompid", g_orv_computer_id);
    AddField(sBody, "oscompname", OrvGetComputerName());
    AddField(sBody, "osnamever", os.sName + " " + os.sRaw);
    AddField(sBody, "oscompserial", g_orv_computer_serial);
    COrvHttpTxn txn;
    if (!PostForm(pszHost, "/manage/manage-login", sBody, true, txn, nullptr, err))
        return false;
    const COrvStringA sPage = AnswerValue(txn.m_sBody, "support_url");
    if (sPage.IsEmpty())
        return err.Set(enNetServer, "Server Says: \n" + txn.m_sBody);
    sUrl = sPage + "?auth=" + OrvUrlEscapeQueryValueA(AnswerValue(txn.m_sBody, "auth"));
    return true;
}

}  // namespace

bool TvGetCreateTicketUrl(COrvStringA& sUrl, COrvError& err) {
    return TicketUrl(g_orv_support_host, sUrl, err);
}

bool TvSubmitSupportTicket(const char* pszHost, const char* pszUrl, const char* pszSubject,
                           const char* pszMessage, const char* pszFileName, int nReport,
                           COrvStringA& sResponse, IOrvTransferObserver* pProgress,
                           COrvError& err) {
    // The ticket page is on the support host: only its path and query are sent.
    COrvStringA sPath(pszUrl);
    const int nScheme = sPath.Find("://");
    if (nScheme >= 0) {
        const int nSlash = sPath.Find('/', nScheme + 3);
        sPath = nSlash >= 0 ? sPath.Mid(nSlash) : COrvStringA("/");
    }
    COrvStringA sBody = "devicetype=Win";
    AddField(sBody, "oscompid", g_orv_computer_id);
    AddField(sBody, "oscompname", OrvGetComputerName());
    AddField(sBody, "oscompserial", g_orv_computer_serial);
    AddField(sBody, "tvver", g_orv_product_version);
    AddField(sBody, "subject", COrvStringA(pszSubject));
    AddField(sBody, "message", COrvStringA(pszMessage));
    AddField(sBody, "filename", COrvStringA(pszFileName));
    if (nReport != 0)
        sBody.AppendFormat("&report=%d", nReport);
    auto attempt = [&](COrvError& e) {
        COrvHttpTxn txn;
        if (!PostForm(pszHost, sPath, sBody, false, txn, pProgress, e))
            return false;
        sResponse = txn.m_sBody;
        const COrvHttpHeaderMap::CPair* pLocation = txn.m_responseHeaders.Lookup("location");
        if (sResponse.IsEmpty() && txn.m_nStatus == 302 && pLocation) {
            COrvStringA sLocation = pLocation->m_value;
            sResponse = "url=" + sLocation.Trim();
        }
        return true;
    };
    return WithAttempts(attempt, "TvSubmitSupportTicket: error on submit: %s\n",
                        "; TvSubmitSupportTicket: too many attempts", err);
}

bool TvSendLogsToSupport(const char* pszZipPath, const char* pszHost, const char* pszSubject,
                         const char* pszMessage, const char* pszTraceFile,
                         IOrvTransferObserver* pProgress, OrvOpenUrlFn pfnOpen, COrvError& err) {
    if (!TvCreateDiagnosticZip(pszZipPath, pszTraceFile, "trace.txt", pProgress, err)) {
        err.AddContext("Cannot create ZIP file with logs: ");
        return false;
    }
    struct stat st;
    if (stat(pszZipPath, &st) != 0)
        return err.SetErrno(errno, "Cannot get file size: ");
    if (pProgress) {
        pProgress->m_bProgressEnabled = 1;
        pProgress->m_nBytesSent = 0;
    }
    const char* pszName = strrchr(pszZipPath, '/');
    pszName = pszName ? pszName + 1 : pszZipPath;
    COrvStringA sDest;
    sDest.Format("att-%d-%s-%s%s%s", OrvGetOsVersion().nPlatform, g_orv_identifier_text.GetString(),
                 g_orv_account_user.GetString(), g_orv_account_user.IsEmpty() ? "" : "-", pszName);
    if (pProgress)
        pProgress->OnLog(0, "Sending Diagnostic file to Support Server");
    COrvStringA sResponse;
    if (!TvUploadMimeFileInForm(pszHost, g_orv_upload_path, pszZipPath, sDest, sResponse, pProgress,
                                err)) {
        err.AddContext("Cannot send ZIP file with logs: ");
        return false;
    }
    sResponse.Trim();
    if (sResponse.Left(9) != "filename=")
        return err.Set(
            enNetServer,
            "Support Server did not accept the ZIP file with logs: Server Said:\n" + sResponse);
    const COrvStringA sStored = sResponse.Mid(9);
    COrvStringA sUrl;
    if (!TicketUrl(pszHost, sUrl, err) ||
        !TvSubmitSupportTicket(pszHost, sUrl, pszSubject, pszMessage, sStored, 0, sResponse,
                               pProgress, err)) {
        err.AddContext("Cannot Submit Ticket: ");
        return false;
    }
    sResponse.Trim();
    if (sResponse.Left(4) != "url=")
        return err.Set(enNetServer, "Support Server says when opening ticket:\n" + sResponse);
    if (pProgress)
        pProgress->OnLog(0, "Creating a ticket in Support System");
    if (pfnOpen == nullptr || !pfnOpen(sResponse.Mid(4), err)) {
        err.Set(enNetBadRequest, "no browser");
        err.AddContext("Cannot open support URL to send ZIP file with logs: ");
        return false;
    }
    return true;
}
