// The SMTP client, the address validator, the stored settings and the header words of the mail
// sender (see orv-mail.h).
#include "orv-mail.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "orv-crypt.h"
#include "orv-file.h"
#include "orv-log.h"
#include "orv-replacing-file.h"
#include "orv-socket.h"
#include "orv-ssl.h"
#include "orv-string-util.h"
#include "orv-time.h"
#include "orv-utf.h"

namespace {

constexpr int kMailConnectAttempts = 2;
constexpr int kMailConnectTimeout = 20;
constexpr int kMaxReplyLines = 1000;
constexpr size_t kMaxSmtpLine = 998;
// The longest header value written as it is; longer ones go in encoded words, which fold, so
// that the header's line stays within kMaxSmtpLine.
constexpr size_t kMaxPlainHeader = 900;
constexpr int kQpLine = 76;  // the longest encoded line, soft break included
// Protects the stored password against casual reading of the settings file (not against
// someone who has this program).
constexpr const char kSettingsPassPhrase[] = "vX7#qLm2!Tr9@pWz4K";

bool IsAlnum(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool HasLineBreak(const char* psz) {
    return strpbrk(psz, "\r\n") != nullptr;
}

// ---- address validation ----

bool BadAddress(COrvError& err, const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
bool BadAddress(COrvError& err, const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    COrvStringA s;
    s.FormatV(pszFormat, args);
    va_end(args);
    return err.Set(enNetBadRequest, s);
}

bool ValidateServerName(const char* p, int n, COrvError& err) {
    if (n < 4)
        return BadAddress(err, "E-mail server name is too short");
    int nLabels = 0;
    int i = 0;
    while (i <= n) {
        const int iStart = i;
        bool bLetter = false;
        while (i < n && p[i] != '.') {
            bLetter = bLetter || (!(p[i] >= '0' && p[i] <= '9') && p[i] != '-');
            ++i;
        }
        const int nLen = i - iStart;
        const bool bLast = i >= n;
        if (nLen == 0 || nLen > 63 || p[iStart] == '-' || p[i - 1] == '-' ||
            (bLast && (nLen < 2 || !bLetter)))
            return BadAddress(err, "E-mail server name is invalid");
        ++nLabels;
        ++i;
    }
    if (nLabels < 2)
        return BadAddress(err, "E-mail server name is invalid");
    return true;
}

// ---- replies and commands ----

void TraceCommand(const char* pszServer, const char* pszCommand) {
    g_orv_log.Printf("  >> %s: %s\n", pszServer, pszCommand);
}

// One connection to the mail server and the commands of one message.
class CSmtpSession {
public:
    CSmtpSession(const OrvMailSettings& settings, COrvError& err)
        : m_settings(settings), m_server(settings.strSmtpServer), m_err(err) {}
    ~CSmtpSession() { m_sock.Close(true); }

    bool Connect();
    // The connection's settings: the extra trusted CA belongs to this session's TLS alone.
    COrvConnectSettings Net() const {
        COrvConnectSettings net;
        net.m_nConnectTimeout = kMailConnectTimeout;
        net.m_nSendTimeout = 0;
        net.m_nRecvTimeout = 0;
        net.m_nAttempts = kMailConnectAttempts;
        net.m_tls.m_sCaFile = m_settings.strTrustedCa;
        return net;
    }
    bool Hello();
    bool Login();
    bool Envelope(const COrvArray<COrvStringA>& recipients);
    bool SendData(const COrvStringA& strData);
    void Quit();

private:
    // Sends one command line (traced as pszTrace when given, so that secrets stay out of the log).
    bool Send(const char* pszCommand, const char* pszSendPrefix, const char* pszTrace = nullptr);
    bool Read(const char* pszRecvPrefix);
    // Sends a command and expects nExpect; a refusal fails with pszReject + the reply and nCode.
    bool Command(const char* pszCommand, int nExpect, const char* pszName, const char* pszReject,
                 int nCode, const char* pszTrace = nullptr);
    bool Expect(int nExpect, const char* pszReject, int nCode);
    bool Fail() {
        m_sock.Close(true);
        return false;
    }

    const OrvMailSettings& m_settings;
    COrvStringA m_server;
    COrvError& m_err;
    COrvSocket m_sock;
    OrvSmtpReply m_reply;
};

bool CSmtpSession::Send(const char* pszCommand, const char* pszSendPrefix, const char* pszTrace) {
    TraceCommand(m_server, pszTrace ? pszTrace : pszCommand);
    COrvStringA strLine(pszCommand);
    strLine += "\r\n";
    if (m_sock.Send(strLine.GetString(), strLine.GetLength(), m_err))
        return true;
    m_err.AddContext(pszSendPrefix);
    return Fail();
}

bool CSmtpSession::Read(const char* pszRecvPrefix) {
    if (OrvSmtpReadReply(m_sock, m_server, m_reply, m_err))
        return true;
    m_err.AddContext(pszRecvPrefix);
    return Fail();
}

bool CSmtpSession::Expect(int nExpect, const char* pszReject, int nCode) {
    if (m_reply.nCode == nExpect)
        return true;
    m_err.SetFormat(nCode, "%s%03d %s", pszReject, m_reply.nCode, m_reply.strText.GetString());
    return Fail();
}

bool CSmtpSession::Command(const char* pszCommand, int nExpect, const char* pszName,
                           const char* pszReject, int nCode, const char* pszTrace) {
    COrvStringA strSend, strRecv;
    strSend.Format("send %s: ", pszName);
    strRecv.Format("recv %s: ", pszName);
    return Send(pszCommand, strSend, pszTrace) && Read(strRecv) &&
           Expect(nExpect, pszReject, nCode);
}

bool CSmtpSession::Connect() {
    if (!m_sock.Connect(m_server, m_settings.nPort, m_settings.bSecureSsl, Net(), nullptr, m_err))
        return false;
    return Read("not welcome: ") && Expect(220, "not welcome: ", enNetServer);
}

bool CSmtpSession::Hello() {
    char szHost[256] = {};
    if (gethostname(szHost, sizeof szHost - 1) != 0 || szHost[0] == 0)
        strcpy(szHost, "localhost");
    COrvStringA strEhlo;
    strEhlo.Format("EHLO %s", szHost);
    if (!Command(strEhlo, 250, "EHLO", "EHLO rejected: ", enNetServer))
        return false;
    if (m_sock.IsTls() || !m_settings.bStartTls)
        return true;
    bool bOffered = false;
    for (size_t i = 1; i < m_reply.lines.GetCount(); ++i)
        bOffered = bOffered || m_reply.lines[i].CompareNoCase("STARTTLS") == 0;
    if (!bOffered) {
        // The mail goes out as the settings allow, but never the password in clear.
        if (!m_settings.strUserId.IsEmpty()) {
            m_err.SetFormat(enNetAuth,
                            "server %s does not offer STARTTLS: the password is not sent over a "
                            "connection without TLS",
                            m_server.GetString());
            return Fail();
        }
        return true;
    }
    if (!Command("STARTTLS", 220, "STARTTLS", "STARTTLS rejected: ", enNetServer))
        return false;
    if (!m_sock.StartTls(m_server, Net().m_tls, m_err)) {
        m_err.AddContext("STARTTLS: ");
        return Fail();
    }
    return Command(strEhlo, 250, "EHLO", "EHLO rejected: ", enNetServer);
}

bool CSmtpSession::Login() {
    if (m_settings.strUserId.IsEmpty())
        return true;
    if (!Command("AUTH LOGIN", 334, "AUTH LOGIN", "AUTH LOGIN rejected: ", enNetAuth))
        return false;
    const COrvStringA& user = m_settings.strUserId;
    const COrvStringA& pass = m_settings.strPassword;
    return Command(OrvBase64Encode(user.GetString(), user.GetLength()), 334, "AUTH LOGIN",
                   "AUTH LOGIN rejected: ", enNetAuth, "*****") &&
           Command(OrvBase64Encode(pass.GetString(), pass.GetLength()), 235, "AUTH LOGIN",
                   "not authenticated: ", enNetAuth, "*****");
}

bool CSmtpSession::Envelope(const COrvArray<COrvStringA>& recipients) {
    COrvStringA strCmd;
    strCmd.Format("MAIL FROM: <%s>", m_settings.strReturnPath.IsEmpty()
                                         ? m_settings.strSenderEmail.GetString()
                                         : m_settings.strReturnPath.GetString());
    if (!Command(strCmd, 250, "MAIL FROM", "sender rejected: ", enNetServer))
        return false;
    for (size_t i = 0; i < recipients.GetCount(); ++i) {
        strCmd.Format("RCPT TO: <%s>", recipients[i].GetString());
        if (!Command(strCmd, 250, "RCPT TO", "bad recipient: ", enNetServer))
            return false;
    }
    return Command("DATA", 354, "DATA", "bad data reply: ", enNetServer);
}

bool CSmtpSession::SendData(const COrvStringA& strData) {
    m_sock.SetBuffered(true);
    // The end mark is a line holding a dot; the data's own last line end serves as the one
    // before it, so that no empty line is added to the message.
    const int nLen = strData.GetLength();
    const bool bLineEnd = nLen >= 2 && strcmp(strData.GetString() + nLen - 2, "\r\n") == 0;
    const char* pszEnd = bLineEnd ? ".\r\n" : "\r\n.\r\n";
    if (!m_sock.Send(strData.GetString(), nLen, m_err) ||
        !m_sock.Send(pszEnd, static_cast<int>(strlen(pszEnd)), m_err) || !m_sock.Flush(m_err)) {
        m_err.AddContext("send message: ");
        return Fail();
    }
    m_sock.SetBuffered(false);
    return Read("recv message reply: ") && Expect(250, "message rejected: ", enNetServer);
}

void CSmtpSession::Quit() {
    COrvError errQuit;  // the message is delivered: a failing QUIT changes nothing
    TraceCommand(m_server, "QUIT");
    OrvSmtpReply reply;
    if (m_sock.SendString("QUIT\r\n", errQuit))
        (void)OrvSmtpReadReply(m_sock, m_server, reply, errQuit);
    m_sock.Close(false);
}

// ---- the message ----

// Appends the text with every line end (CR LF, LF or CR alone) made CR LF, and a dot doubled
// where it starts a line, so that no line of the message can end the DATA early.
void AppendMessageText(const char* p, size_t n, COrvStringA& out) {
    out.Preallocate(out.GetLength() + static_cast<int>(n + n / 32 + 8));
    bool bLineStart = out.IsEmpty() || out[out.GetLength() - 1] == '\n';
    size_t iRun = 0;
    for (size_t i = 0; i < n; ++i) {
        const char c = p[i];
        if (c != '\r' && c != '\n' && !(c == '.' && bLineStart)) {
            bLineStart = false;
            continue;
        }
        out.Append(p + iRun, static_cast<int>(i - iRun));
        if (c == '.') {
            out.Append("..", 2);
            bLineStart = false;
        } else {
            out.Append("\r\n", 2);
            if (c == '\r' && i + 1 < n && p[i + 1] == '\n')
                ++i;
            bLineStart = true;
        }
        iRun = i + 1;
    }
    out.Append(p + iRun, static_cast<int>(n - iRun));
}

// Whether a line of the text is longer than SMTP carries (998 characters before its CR LF).
bool HasLongLine(const char* p, size_t n) {
    size_t iLine = 0;
    for (size_t i = 0; i <= n; ++i) {
        if (i < n && p[i] != '\r' && p[i] != '\n')
            continue;
        if (i - iLine > kMaxSmtpLine)
            return true;
        iLine = i + 1;
    }
    return false;
}

// The body as sent: in quoted-printable when a line is too long for SMTP, each line encoded
// apart (so that the line ends stay line ends, CR LF), else as text.
bool AppendBody(const COrvStringA& strBody, COrvStringA& out, COrvError& err) {
    const char* p = strBody.GetString();
    const size_t n = static_cast<size_t>(strBody.GetLength());
    if (!HasLongLine(p, n)) {
        AppendMessageText(p, n, out);
        return true;
    }
    size_t iLine = 0;
    for (size_t i = 0; i <= n; ++i) {
        if (i < n && p[i] != '\r' && p[i] != '\n')
            continue;
        if (!OrvQuotedPrintableEncode(p + iLine, i - iLine, out, err)) {
            err.AddContext("body: ");
            return false;
        }
        if (i == n)
            break;
        out += "\r\n";
        if (p[i] == '\r' && i + 1 < n && p[i + 1] == '\n')
            ++i;
        iLine = i + 1;
    }
    return true;
}

bool IsAscii(const char* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (static_cast<unsigned char>(p[i]) >= 0x80)
            return false;
    return true;
}

bool IsUtf8(const char* p, size_t n) {
    for (size_t i = 0; i < n;) {
        const OrvUtf8Step step = OrvUtf8DecodeOne(p + i, n - i);
        if (step.eStatus != enUtfOk)
            return false;
        i += static_cast<size_t>(step.nLen);
    }
    return true;
}

bool IsPrintableAscii(const char* psz) {
    for (; *psz; ++psz)
        if (static_cast<unsigned char>(*psz) < 0x20 || static_cast<unsigned char>(*psz) >= 0x7f)
            return false;
    return true;
}

bool IsHtml(const COrvStringA& strBody) {
    return strncmp(strBody.GetString(), "<html>", 6) == 0;
}

const char* BodyType(const COrvStringA& strBody) {
    return IsHtml(strBody) ? "text/html; charset=UTF-8" : "text/plain; charset=UTF-8";
}

// "Sat, 5 Dec 2026 09:04:05 +0000" without the weekday, with English month names whatever the
// locale.
COrvStringA MailDate(OrvTime t) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    struct tm tmUtc = {};
    COrvStringA s;
    if (!OrvUtcTime(t, &tmUtc))
        return "1 Jan 1970 00:00:00 +0000";
    s.Format("%d %s %d %02d:%02d:%02d +0000", tmUtc.tm_mday, kMonths[tmUtc.tm_mon % 12],
             tmUtc.tm_year + 1900, tmUtc.tm_hour, tmUtc.tm_min, tmUtc.tm_sec);
    return s;
}

// The quoted-string form of a display name: "\"" and "\\" escaped.
COrvStringA QuotedName(const COrvStringA& strName) {
    COrvStringA s("\"");
    for (int i = 0; i < strName.GetLength(); ++i) {
        if (strName[i] == '"' || strName[i] == '\\')
            s += '\\';
        s += strName[i];
    }
    s += '"';
    return s;
}

struct CAttachment {
    COrvStringA strName;  // file name without the folder
    COrvStringA strBytes;
};

// The content type of an attachment from its extension; text files as text with their charset
// when they are UTF-8 (or ASCII), as bytes otherwise.
COrvStringA AttachmentType(const CAttachment& att) {
    static const struct {
        const char* pszExt;
        const char* pszType;
    } kTypes[] = {
        {"txt", "text/plain"},        {"log", "text/plain"},      {"csv", "text/csv"},
        {"htm", "text/html"},         {"html", "text/html"},      {"xml", "text/xml"},
        {"json", "application/json"}, {"pdf", "application/pdf"}, {"zip", "application/zip"},
        {"png", "image/png"},         {"jpg", "image/jpeg"},      {"jpeg", "image/jpeg"},
        {"gif", "image/gif"},
    };
    const int iDot = att.strName.ReverseFind('.');
    if (iDot < 0)
        return "application/octet-stream";
    const COrvStringA strExt = att.strName.Mid(iDot + 1);
    for (const auto& t : kTypes) {
        if (strExt.CompareNoCase(t.pszExt) != 0)
            continue;
        if (strncmp(t.pszType, "text/", 5) != 0 && strcmp(t.pszType, "application/json") != 0)
            return t.pszType;
        if (!IsUtf8(att.strBytes.GetString(), att.strBytes.GetLength()))
            return "application/octet-stream";
        COrvStringA s;
        s.Format("%s; charset=UTF-8", t.pszType);
        return s;
    }
    return "application/octet-stream";
}

// The disposition of an attachment: the name quoted when it is printable ASCII, else in the
// UTF-8 parameter form ("filename*=UTF-8''%C3%A4.txt").
COrvStringA AttachmentDisposition(const COrvStringA& strName) {
    if (IsPrintableAscii(strName))
        return "attachment; filename=" + QuotedName(strName);
    COrvStringA s("attachment; filename*=UTF-8''");
    for (int i = 0; i < strName.GetLength(); ++i) {
        const unsigned char c = static_cast<unsigned char>(strName[i]);
        if (IsAlnum(c) || strchr("!#$&+-.^_`|~", c) != nullptr)
            s += static_cast<char>(c);
        else
            s.AppendFormat("%%%02X", c);
    }
    return s;
}

bool SplitRecipients(const COrvStringA& strList, COrvArray<COrvStringA>& out) {
    int i = 0;
    while (i <= strList.GetLength()) {
        int iEnd = strList.FindOneOf(";,", i);
        if (iEnd < 0)
            iEnd = strList.GetLength();
        COrvStringA s = strList.Mid(i, iEnd - i);
        const int iOpen = s.Find('<');
        const int iClose = s.Find('>', iOpen + 1);
        if (iOpen >= 0 && iClose > iOpen)
            s = s.Mid(iOpen + 1, iClose - iOpen - 1);
        s.Trim();
        if (!s.IsEmpty())
            out.Add(s);
        i = iEnd + 1;
    }
    return out.GetCount() > 0;
}

bool CheckNoLineBreak(const char* pszValue, const char* pszWhat, COrvError& err) {
    if (!HasLineBreak(pszValue))
        return true;
    return err.SetFormat(enNetBadRequest, "%s cannot contain CR or LF: %s", pszWhat, pszValue);
}

// An address goes between angle brackets in MAIL FROM and RCPT TO: a bracket, a space or a
// control character there would close the path early and pass the rest as command parameters.
bool CheckEnvelopeAddress(const char* pszValue, const char* pszWhat, COrvError& err) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(pszValue); *p; ++p)
        if (*p <= ' ' || *p == '<' || *p == '>' || *p == 0x7f)
            return err.SetFormat(enNetBadRequest,
                                 "%s cannot contain spaces, control characters, '<' or '>': %s",
                                 pszWhat, pszValue);
    return true;
}

// The checks made before connecting.
bool CheckMessage(const OrvMailSettings& s, const OrvMailMessage& msg,
                  COrvArray<COrvStringA>& recipients, COrvError& err) {
    if (s.strSmtpServer.IsEmpty())
        return err.Set(enNetBadRequest,
                       "SMTP server is not specified, set it up in Tools -> Program Options -> "
                       "Connect");
    if (!SplitRecipients(msg.strRecipients, recipients))
        return err.Set(enNetBadRequest, "Recipient Email address cannot be empty");
    if (s.strSenderEmail.IsEmpty())
        return err.Set(enNetBadRequest, "Sender Email address cannot be empty");
    if (!(CheckNoLineBreak(s.strSmtpServer, "SMTP server", err) &&
          CheckNoLineBreak(s.strSenderEmail, "Sender Email address", err) &&
          CheckNoLineBreak(s.strReturnPath, "Return path", err) &&
          CheckNoLineBreak(s.strUserId, "User id", err) &&
          CheckNoLineBreak(msg.strRecipients, "Recipient Email address", err) &&
          CheckNoLineBreak(msg.strSenderName, "Sender name", err) &&
          CheckNoLineBreak(msg.strSubject, "Subject", err)))
        return false;
    for (size_t i = 0; i < recipients.GetCount(); ++i)
        if (!CheckEnvelopeAddress(recipients[i], "Recipient Email address", err))
            return false;
    return CheckEnvelopeAddress(s.strSenderEmail, "Sender Email address", err) &&
           CheckEnvelopeAddress(s.strReturnPath, "Return path", err);
}

bool ReadAttachments(const OrvMailMessage& msg, COrvArray<CAttachment>& out, COrvError& err) {
    for (size_t i = 0; i < msg.attachments.GetCount(); ++i) {
        const COrvStringA& strPath = msg.attachments[i];
        CAttachment att;
        att.strName = strPath.Mid(strPath.ReverseFind('/') + 1);
        if (!CheckNoLineBreak(att.strName, "Attachment file name", err))
            return false;
        if (!OrvReadWholeFile(strPath, att.strBytes, err)) {
            err.AddContext("attachment: ");
            return false;
        }
        out.Add(att);
    }
    return true;
}

bool BuildMessage(const OrvMailSettings& s, const OrvMailMessage& msg,
                  const COrvArray<COrvStringA>& recipients,
                  const COrvArray<CAttachment>& attachments, COrvStringA& out, COrvError& err) {
    const COrvStringA& strSender = s.strSenderEmail;
    const int iAt = strSender.ReverseFind('@');
    const COrvStringA strDomain = iAt >= 0 ? strSender.Mid(iAt + 1) : COrvStringA("localhost");
    out.AppendFormat("Message-ID: <%s@%s>\r\n", OrvUniqueName().GetString(), strDomain.GetString());
    if (msg.strSenderName.IsEmpty())
        out.AppendFormat("From: Tovrin <%s>\r\n", strSender.GetString());
    else if (IsPrintableAscii(msg.strSenderName) &&
             static_cast<size_t>(msg.strSenderName.GetLength()) <= kMaxPlainHeader)
        out.AppendFormat("From: %s <%s>\r\n", QuotedName(msg.strSenderName).GetString(),
                         strSender.GetString());
    else
        out.AppendFormat("From: %s <%s>\r\n", OrvMailEncodeHeader(msg.strSenderName).GetString(),
                         strSender.GetString());
    out += "To: ";
    for (size_t i = 0; i < recipients.GetCount(); ++i)
        out.AppendFormat("%s<%s>", i ? ",\r\n " : "", recipients[i].GetString());
    out += "\r\n";
    out.AppendFormat("Date: %s\r\n", MailDate(OrvTimeNow()).GetString());
    out.AppendFormat("Subject: %s\r\n", OrvMailEncodeHeader(msg.strSubject).GetString());
    out += "MIME-Version: 1.0\r\n";
    const char* pszBodyEncoding = HasLongLine(msg.strBody.GetString(), msg.strBody.GetLength())
                                      ? "Content-Transfer-Encoding: quoted-printable\r\n"
                                  : IsAscii(msg.strBody.GetString(), msg.strBody.GetLength())
                                      ? ""
                                      : "Content-Transfer-Encoding: 8bit\r\n";
    if (attachments.GetCount() == 0) {
        out.AppendFormat("Content-type: %s\r\n%s\r\n", BodyType(msg.strBody), pszBodyEncoding);
        return AppendBody(msg.strBody, out, err);
    }
    COrvStringA strBoundary;
    if (!OrvGuidText(strBoundary, err))
        return false;
    // "=_" cannot occur in quoted-printable text; the dashes go to keep the header line short.
    strBoundary = "=_" + strBoundary.Mid(1, strBoundary.GetLength() - 2);
    strBoundary.Remove('-');
    out.AppendFormat("Content-type: multipart/mixed; boundary=\"%s\"\r\n\r\n",
                     strBoundary.GetString());
    out.AppendFormat("--%s\r\nContent-Type: %s\r\n%s\r\n", strBoundary.GetString(),
                     BodyType(msg.strBody), pszBodyEncoding);
    if (!AppendBody(msg.strBody, out, err))
        return false;
    for (size_t i = 0; i < attachments.GetCount(); ++i) {
        const CAttachment& att = attachments[i];
        out.AppendFormat(
            "\r\n--%s\r\ncontent-disposition: %s\r\nContent-Type: %s\r\n"
            "Content-Transfer-Encoding: quoted-printable\r\n\r\n",
            strBoundary.GetString(), AttachmentDisposition(att.strName).GetString(),
            AttachmentType(att).GetString());
        // Encoded lines never start with "." nor hold a bare line end: no dot-stuffing needed.
        if (!OrvQuotedPrintableEncode(att.strBytes.GetString(), att.strBytes.GetLength(), out,
                                      err)) {
            err.AddContext("attachment " + att.strName + ": ");
            return false;
        }
    }
    out.AppendFormat("\r\n--%s--\r\n", strBoundary.GetString());
    return true;
}

}  // namespace

// ---- replies ----

bool OrvSmtpReadReply(COrvSocket& sock, const char* pszServer, OrvSmtpReply& reply,
                      COrvError& err) {
    reply.nCode = 0;
    reply.strText.Empty();
    reply.lines.RemoveAll();
    COrvStringA strLine;
    for (int nLine = 0;; ++nLine) {
        if (!sock.RecvLine(strLine, err)) {
            if (err.Code() != enNetEndOfStream)
                return false;
            err.Clear();
            if (nLine == 0)
                return err.SetFormat(enNetConnection, "reading reply from %s: socket closed (EOF)",
                                     pszServer);
            return err.Set(enNetConnection, "Server EOF");
        }
        const char* p = strLine.GetString();
        const bool bCode = strLine.GetLength() >= 3 && p[0] >= '2' && p[0] <= '5' && p[1] >= '0' &&
                           p[1] <= '9' && p[2] >= '0' && p[2] <= '9' &&
                           (p[3] == 0 || p[3] == ' ' || p[3] == '-');
        const int nCode = bCode ? (p[0] - '0') * 100 + (p[1] - '0') * 10 + (p[2] - '0') : 0;
        if (!bCode || (nLine > 0 && nCode != reply.nCode) || nLine >= kMaxReplyLines) {
            sock.Close(true);
            return err.SetFormat(enNetServer, "bad reply from %s: %s", pszServer, p);
        }
        const char* pszText = p[3] ? p + 4 : p + 3;
        g_orv_log.Printf("  << %s: %03d %s\n", pszServer, nCode, pszText);
        reply.nCode = nCode;
        if (nLine > 0)
            reply.strText += "; ";
        reply.strText += pszText;
        reply.lines.Add(COrvStringA(pszText));
        if (p[3] != '-')
            return true;
    }
}

// ---- sending ----

bool OrvSendMail(const OrvMailSettings& settings, const OrvMailMessage& msg, COrvError& err) {
    COrvArray<COrvStringA> recipients;
    COrvArray<CAttachment> attachments;
    COrvStringA strData;
    if (!CheckMessage(settings, msg, recipients, err) || !ReadAttachments(msg, attachments, err) ||
        !BuildMessage(settings, msg, recipients, attachments, strData, err))
        return false;
    CSmtpSession session(settings, err);
    if (!session.Connect() || !session.Hello() || !session.Login() ||
        !session.Envelope(recipients) || !session.SendData(strData))
        return false;
    session.Quit();
    return true;
}

bool OrvSendMail(const OrvMailSettings& settings, const OrvMailMessage& msg, int& nCode,
                 COrvStringA& strError) {
    COrvError err;
    const bool bOk = OrvSendMail(settings, msg, err);
    err.CopyTo(&nCode, &strError);
    return bOk;
}

// ---- address validation ----

bool OrvValidateEmail(const char* pszAddress, COrvError& err) {
    const char* p = pszAddress ? pszAddress : "";
    const int n = static_cast<int>(strlen(p));
    if (n == 0)
        return BadAddress(err, "Email address cannot be empty");
    if (n < 6)
        return BadAddress(err, "E-mail address is too short: %s", p);
    const char* pAt = strchr(p, '@');
    if (pAt == nullptr)
        return BadAddress(err, "E-mail address does not contain '@': %s", p);
    if (strchr(pAt + 1, '@') != nullptr)
        return BadAddress(err, "E-mail address cannot contain more than one '@': %s", p);
    if (strstr(p, "..") != nullptr)
        return BadAddress(err, "E-mail address cannot contain '..': %s", p);
    if (strchr("+.@", p[0]) != nullptr)
        return BadAddress(err, "E-mail address cannot start with '%c': %s", p[0], p);
    if (strchr("+.@", p[n - 1]) != nullptr)
        return BadAddress(err, "E-mail address cannot end with '%c': %s", p[n - 1], p);
    const int nBox = static_cast<int>(pAt - p);
    if (pAt[-1] == '+' || pAt[-1] == '.')
        return BadAddress(err, "E-mail box name cannot end with '%c'", pAt[-1]);
    bool bAlnum = false;
    for (int i = 0; i < nBox; ++i) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        if (!IsAlnum(c) && strchr("_-@.+'", c) == nullptr)
            return BadAddress(err,
                              "E-mail box name cannot contain character '%c', it can be only a-z "
                              "A-Z 0-9 _ - @ . + '",
                              c);
        bAlnum = bAlnum || IsAlnum(c);
    }
    const char* pServer = pAt + 1;
    const int nServer = n - nBox - 1;
    if (pServer[nServer - 1] == '.')
        return BadAddress(err, "E-mail server name cannot end with '%c'", '.');
    for (int i = 0; i < nServer; ++i) {
        const unsigned char c = static_cast<unsigned char>(pServer[i]);
        if (!IsAlnum(c) && c != '-' && c != '.')
            return BadAddress(err,
                              "E-mail server name cannot contain character '%c', it can be only "
                              "a-z A-Z 0-9 - .",
                              c);
    }
    if (!bAlnum)
        return BadAddress(err, "E-mail name does not contain letters or digits");
    return ValidateServerName(pServer, nServer, err);
}

bool OrvValidateEmail(const char* pszAddress, int& nCode, COrvStringA& strError) {
    COrvError err;
    const bool bOk = OrvValidateEmail(pszAddress, err);
    err.CopyTo(&nCode, &strError);
    return bOk;
}

// ---- settings ----

namespace {

void AppendTagged(COrvStringA& out, const char* pszKey, const COrvStringA& strValue) {
    out.AppendFormat("<%s>", pszKey);
    for (int i = 0; i < strValue.GetLength(); ++i) {
        switch (strValue[i]) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '\r':
                out += "&#13;";
                break;
            case '\n':
                out += "&#10;";
                break;
            default:
                out += strValue[i];
        }
    }
    out.AppendFormat("</%s>\n", pszKey);
}

COrvStringA Unescape(const COrvStringA& s) {
    static const struct {
        const char* pszRef;
        char c;
    } kRefs[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&#13;", '\r'}, {"&#10;", '\n'}};
    COrvStringA out;
    for (int i = 0; i < s.GetLength(); ++i) {
        bool bRef = false;
        for (const auto& r : kRefs) {
            const int nLen = static_cast<int>(strlen(r.pszRef));
            if (strncmp(s.GetString() + i, r.pszRef, nLen) == 0) {
                out += r.c;
                i += nLen - 1;
                bRef = true;
                break;
            }
        }
        if (!bRef)
            out += s[i];
    }
    return out;
}

}  // namespace

bool OrvSaveMailSettings(const char* pszPath, const OrvMailSettings& s, COrvError& err) {
    COrvStringA strEncrypted;
    if (!s.strPassword.IsEmpty()) {
        COrvStringA strBytes;
        if (!OrvEncryptAesRandom32(s.strPassword, kSettingsPassPhrase, strBytes, err))
            return false;
        strEncrypted = OrvBase64Encode(strBytes.GetString(), strBytes.GetLength());
    }
    COrvStringA out, strPort;
    strPort.Format("%d", s.nPort);
    AppendTagged(out, "SmtpServer", s.strSmtpServer);
    AppendTagged(out, "Port", strPort);
    AppendTagged(out, "UserID", s.strUserId);
    AppendTagged(out, "PasswordEncrd", strEncrypted);
    AppendTagged(out, "SecureSSL", s.bSecureSsl ? "1" : "0");
    AppendTagged(out, "StartTls", s.bStartTls ? "1" : "0");
    AppendTagged(out, "SenderEmail", s.strSenderEmail);
    AppendTagged(out, "ReturnPath", s.strReturnPath);
    AppendTagged(out, "TrustedCA", s.strTrustedCa);
    // The replacement keeps an existing file's mode: narrow it first, so that the password is
    // never readable by others, not even for a moment.
    struct stat st;
    if (stat(pszPath, &st) == 0 && (st.st_mode & 077) != 0 && chmod(pszPath, 0600) != 0)
        return err.SetErrno(errno, "Cannot protect the mail settings file: ");
    return OrvReplaceFileContents(pszPath, out.GetString(), out.GetLength(), err, 0600);
}

bool OrvLoadMailSettings(const char* pszPath, OrvMailSettings& s, COrvError& err) {
    COrvStringA strFile;
    if (!OrvReadWholeFile(pszPath, strFile, err))
        return false;
    OrvMailSettings loaded;
    int i = 0;
    while (i < strFile.GetLength()) {
        int iEnd = strFile.Find('\n', i);
        if (iEnd < 0)
            iEnd = strFile.GetLength();
        const COrvStringA strLine = strFile.Mid(i, iEnd - i);
        i = iEnd + 1;
        const int iClose = strLine.Find('>');
        if (strLine.GetLength() < 3 || strLine[0] != '<' || iClose < 2)
            continue;
        const COrvStringA strKey = strLine.Mid(1, iClose - 1);
        const COrvStringA strEndTag = "</" + strKey + ">";
        const int iValueEnd = strLine.GetLength() - strEndTag.GetLength();
        if (iValueEnd < iClose + 1 || strLine.Mid(iValueEnd) != strEndTag)
            continue;
        const COrvStringA v = Unescape(strLine.Mid(iClose + 1, iValueEnd - iClose - 1));
        if (strKey == "SmtpServer")
            loaded.strSmtpServer = v;
        else if (strKey == "Port")
            loaded.nPort = atoi(v);
        else if (strKey == "UserID")
            loaded.strUserId = v;
        else if (strKey == "SecureSSL")
            loaded.bSecureSsl = v == "1";
        else if (strKey == "StartTls")
            loaded.bStartTls = v == "1";
        else if (strKey == "SenderEmail")
            loaded.strSenderEmail = v;
        else if (strKey == "ReturnPath")
            loaded.strReturnPath = v;
        else if (strKey == "TrustedCA")
            loaded.strTrustedCa = v;
        else if (strKey == "PasswordEncrd" && !v.IsEmpty()) {
            COrvStringA strBytes;
            if (!OrvBase64Decode(v.GetString(), v.GetLength(), false, strBytes))
                return err.Set(enNetBadRequest, "stored password is not Base64");
            if (!OrvDecryptAesRandom32(strBytes, kSettingsPassPhrase, loaded.strPassword, err)) {
                err.AddContext("stored password: ");
                return false;
            }
        }
    }
    s = loaded;
    return true;
}

// ---- header words ----

COrvStringA OrvMailDecodeHeader(const char* pszValue) {
    const char* p = pszValue ? pszValue : "";
    // Each encoded word is traced with its decoding; the value is decoded as a whole, so that the
    // white space between two words goes.
    for (const char* pStart = strstr(p, "=?"); pStart; pStart = strstr(pStart + 2, "=?")) {
        const char* pQ1 = strchr(pStart + 2, '?');
        if (pQ1 == nullptr || pQ1[1] == 0 || pQ1[2] != '?')
            continue;
        const char cEnc = static_cast<char>(pQ1[1] | 0x20);
        const char* pEnd = strstr(pQ1 + 3, "?=");
        if (pEnd == nullptr || (cEnc != 'b' && cEnc != 'q'))
            continue;
        const COrvStringA strWord(pStart, static_cast<int>(pEnd + 2 - pStart));
        const COrvStringA strDecoded = OrvDecodeMimeWords(strWord);
        const COrvStringA strCharset(pStart + 2, static_cast<int>(pQ1 - pStart - 2));
        const COrvStringA strText(pQ1 + 3, static_cast<int>(pEnd - pQ1 - 3));
        g_orv_log.Printf(cEnc == 'b' ? "  UTF8-B decode: fr='%s' to='%s' enc='%s' str='%s'\n"
                                     : "  UTF8-Q decode: fr='%s' to='%s' enc='%s' str='%s'\n",
                         strWord.GetString(), strDecoded.GetString(), strCharset.GetString(),
                         strText.GetString());
        pStart = pEnd;
    }
    return OrvDecodeMimeWords(p);
}

COrvStringA OrvMailEncodeHeader(const char* pszValue) {
    const char* p = pszValue ? pszValue : "";
    if (IsPrintableAscii(p) && strlen(p) <= kMaxPlainHeader)
        return p;
    // 39 bytes are 52 Base64 characters: with "=?UTF-8?B?" and "?=" a word of 64, which leaves
    // room for the header's name on the first line within 76 characters.
    constexpr int kMaxBytes = 39;
    COrvStringA out;
    const int n = static_cast<int>(strlen(p));
    int i = 0;
    while (i < n) {
        int nTake = 0;
        while (i + nTake < n) {
            const OrvUtf8Step step =
                OrvUtf8DecodeOne(p + i + nTake, static_cast<size_t>(n - i - nTake));
            const int nLen = step.nLen > 0 ? step.nLen : 1;
            if (nTake + nLen > kMaxBytes)
                break;
            nTake += nLen;
        }
        if (!out.IsEmpty())
            out += "\r\n ";
        out += "=?UTF-8?B?";
        out += OrvBase64Encode(p + i, nTake);
        out += "?=";
        i += nTake;
    }
    return out;
}

namespace {

constexpr char kQpHex[] = "0123456789ABCDEF";
// The characters of a line before its soft break ("=").
constexpr int kQpText = kQpLine - 1;
// Output above this size asks the kernel for huge pages: a 4 KiB page fault for every page of
// a large output costs about as much as encoding it.
constexpr size_t kQpHugeOutput = size_t{8} << 20;

constexpr uint32_t QpEscape(uint32_t c) {
    return '=' | uint32_t(kQpHex[c >> 4]) << 8 | uint32_t(kQpHex[c & 15]) << 16 | 3u << 24;
}

// Every byte's encoded form as one 32-bit word: up to three characters in its low bytes (written
// four at a time), the width in bits 24-26, and kPlace for a dot, a space and a tab, literal
// unless their place says otherwise (a dot starting a line, white space ending the data).
struct QpTable {
    static constexpr uint32_t kPlace = 0x80000000u;
    uint32_t codes[256] = {};
    constexpr QpTable() {
        for (uint32_t c = 0; c < 256; ++c) {
            const bool bLiteral = (c >= 33 && c <= 126 && c != '=') || c == ' ' || c == '\t';
            codes[c] = bLiteral ? c | 1u << 24 : QpEscape(c);
            if (c == '.' || c == ' ' || c == '\t')
                codes[c] |= kPlace;
        }
    }
};
constexpr QpTable kQpTable;

constexpr uint64_t kOnes = 0x0101010101010101u;
constexpr uint64_t kHigh = kOnes * 0x80;

// Non-zero when one of the eight bytes of x is not printable ASCII, is "=" or is a tab: the
// bytes that are copied as they are when none of these is there.
constexpr uint64_t QpUnsafeBytes(uint64_t x) {
    const auto hasZero = [](uint64_t v) { return (v - kOnes) & ~v & kHigh; };
    return ((x | ((x - kOnes * 0x20) & ~x)) & kHigh) | hasZero(x ^ (kOnes * 0x7f)) |
           hasZero(x ^ (kOnes * '='));
}

void AdviseHugePages(char* p, size_t n) {
    if (n < kQpHugeOutput)
        return;
    constexpr uintptr_t kHuge = uintptr_t{2} << 20;
    const uintptr_t uStart = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t uEnd = (reinterpret_cast<uintptr_t>(p) + n) & ~(kHuge - 1);
    // Only a hint: where it is refused the pages come one by one as before.
    if (uEnd > uStart)
        (void)madvise(reinterpret_cast<void*>(uStart), uEnd - uStart, MADV_HUGEPAGE);
}

// The encoder's place in the output: the next character and the column it goes to.
struct QpCursor {
    char* o;
    int nCol;
};

// Encodes p[i] at the cursor: a soft break first when it does not fit the line.
inline void QpEncodeByte(const unsigned char* p, size_t i, size_t nLen, QpCursor& cur) {
    uint32_t code = kQpTable.codes[p[i]];
    if (code & QpTable::kPlace) {
        const unsigned char c = p[i];
        code &= ~QpTable::kPlace;
        // A dot starting a line (after a soft break too) or white space ending the data.
        if ((c == '.' && (cur.nCol == 0 || cur.nCol >= kQpText)) ||
            ((c == ' ' || c == '\t') && i + 1 == nLen))
            code = QpEscape(c);
    }
    const int nWidth = static_cast<int>(code >> 24);
    if (cur.nCol + nWidth > kQpText) {
        memcpy(cur.o, "=\r\n", 3);
        cur.o += 3;
        cur.nCol = 0;
    }
    memcpy(cur.o, &code, 4);
    cur.o += nWidth;
    cur.nCol += nWidth;
}

// Bytes [i, iEnd) one by one, for binary data, where few bytes in a row are left as they are.
// A place-dependent byte's table width (bit 31 set) is too wide for any line, so that one
// compare sends both the line's end and such bytes to the careful path.
void QpEncodeBytes(const unsigned char* p, size_t i, size_t iEnd, size_t nLen, QpCursor& curIo) {
    QpCursor cur = curIo;  // a local copy stays in registers: the output may alias curIo
    const auto step = [&](size_t k) {
        const uint32_t code = kQpTable.codes[p[k]];
        const int nNext = cur.nCol + static_cast<int>(code >> 24);
        if (nNext > kQpText) {
            QpEncodeByte(p, k, nLen, cur);
            return;
        }
        memcpy(cur.o, &code, 4);
        cur.o += code >> 24;
        cur.nCol = nNext;
    };
    for (; i + 4 <= iEnd; i += 4) {
        step(i);
        step(i + 1);
        step(i + 2);
        step(i + 3);
    }
    for (; i < iEnd; ++i)
        step(i);
    curIo = cur;
}

#if defined(__x86_64__)
// Four bytes expanded by one byte shuffle. For each pattern of escaped bytes (bit j set: byte j
// goes as "=XX") the shuffle that picks literal bytes (lanes 8-11 of its source) and hex digits
// (lanes 0-7), the "=" signs it leaves out, and the width of the result.
struct QpShuffles {
    alignas(16) uint8_t ctl[16][16] = {};
    alignas(16) uint8_t eq[16][16] = {};
    uint8_t width[16] = {};
    constexpr QpShuffles() {
        for (int m = 0; m < 16; ++m) {
            int n = 0;
            for (int k = 0; k < 16; ++k)
                ctl[m][k] = 0x80;  // a zero byte
            for (int j = 0; j < 4; ++j) {
                if (m & (1 << j)) {
                    eq[m][n++] = '=';
                    ctl[m][n++] = static_cast<uint8_t>(2 * j);
                    ctl[m][n++] = static_cast<uint8_t>(2 * j + 1);
                } else {
                    ctl[m][n++] = static_cast<uint8_t>(8 + j);
                }
            }
            width[m] = static_cast<uint8_t>(n);
        }
    }
};
constexpr QpShuffles kQpShuffles;

// Encodes p[i..i+3] (escaped: their bits, hex: their hex digits, raw: the bytes) with one
// shuffle where the four fit the line and the first is no dot starting one; else byte by byte.
__attribute__((target("ssse3"), always_inline)) inline void QpEncodeGroup(const unsigned char* p,
                                                                          size_t i, size_t nLen,
                                                                          unsigned escaped,
                                                                          __m128i hex, __m128i raw,
                                                                          QpCursor& cur) {
    const unsigned m = escaped & 15;
    const int nWidth = kQpShuffles.width[m];
    if (cur.nCol + nWidth > kQpText || (cur.nCol == 0 && p[i] == '.')) {
        for (size_t k = 0; k < 4; ++k)
            QpEncodeByte(p, i + k, nLen, cur);
        return;
    }
    const __m128i ctl = _mm_load_si128(reinterpret_cast<const __m128i*>(kQpShuffles.ctl[m]));
    const __m128i eq = _mm_load_si128(reinterpret_cast<const __m128i*>(kQpShuffles.eq[m]));
    const __m128i out = _mm_or_si128(_mm_shuffle_epi8(_mm_unpacklo_epi64(hex, raw), ctl), eq);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(cur.o), out);  // the slack takes the rest
    cur.o += nWidth;
    cur.nCol += nWidth;
}

// QpEncodeBytes sixteen bytes at a time, the last byte of the data excepted: the bytes are
// classed and their hex digits made for all sixteen at once, then written four at a time.
__attribute__((target("ssse3"))) void QpEncodeBytesSsse3(const unsigned char* p, size_t i,
                                                         size_t iEnd, size_t nLen,
                                                         QpCursor& curIo) {
    QpCursor cur = curIo;
    const __m128i digits = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kQpHex));
    const __m128i nibble = _mm_set1_epi8(0x0f);
    for (; i + 16 <= iEnd && i + 16 < nLen; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        // Literal: 0x21-0x7E but "=", and space and tab.
        const __m128i t = _mm_sub_epi8(v, _mm_set1_epi8(0x21));
        const __m128i inRange = _mm_cmpeq_epi8(_mm_min_epu8(t, _mm_set1_epi8(0x5d)), t);
        const __m128i blank = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')),
                                           _mm_cmpeq_epi8(v, _mm_set1_epi8('\t')));
        const __m128i literal =
            _mm_or_si128(_mm_andnot_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('=')), inRange), blank);
        const unsigned escaped = ~static_cast<unsigned>(_mm_movemask_epi8(literal)) & 0xffff;
        const __m128i hi = _mm_shuffle_epi8(digits, _mm_and_si128(_mm_srli_epi16(v, 4), nibble));
        const __m128i lo = _mm_shuffle_epi8(digits, _mm_and_si128(v, nibble));
        const __m128i hex0 = _mm_unpacklo_epi8(hi, lo);
        const __m128i hex1 = _mm_unpackhi_epi8(hi, lo);
        QpEncodeGroup(p, i, nLen, escaped, hex0, v, cur);
        QpEncodeGroup(p, i + 4, nLen, escaped >> 4, _mm_srli_si128(hex0, 8), _mm_srli_si128(v, 4),
                      cur);
        QpEncodeGroup(p, i + 8, nLen, escaped >> 8, hex1, _mm_srli_si128(v, 8), cur);
        QpEncodeGroup(p, i + 12, nLen, escaped >> 12, _mm_srli_si128(hex1, 8),
                      _mm_srli_si128(v, 12), cur);
    }
    curIo = cur;
    QpEncodeBytes(p, i, iEnd, nLen, curIo);
}
#endif

// Bytes [i, iEnd) eight at a time where they sit inside a line and before the last byte (so
// that their place changes nothing): runs of safe bytes copied whole, others through the table
// when the eight cannot reach the line's end; one by one elsewhere. The fastest way through text.
void QpEncodeRuns(const unsigned char* p, size_t i, size_t iEnd, size_t nLen, QpCursor& curIo) {
    QpCursor cur = curIo;
    const size_t iLastRun = std::min(iEnd, nLen - 1);
    while (i < iEnd) {
        if (cur.nCol > 0 && i + 8 <= iLastRun) {
            uint64_t x;
            memcpy(&x, p + i, 8);
            if (cur.nCol <= kQpText - 8 && QpUnsafeBytes(x) == 0) {
                memcpy(cur.o, &x, 8);
                cur.o += 8;
                cur.nCol += 8;
                i += 8;
                continue;
            }
            if (cur.nCol <= kQpText - 24) {
                for (size_t k = 0; k < 8; ++k) {
                    const uint32_t code = kQpTable.codes[p[i + k]] & ~QpTable::kPlace;
                    memcpy(cur.o, &code, 4);
                    cur.o += code >> 24;
                    cur.nCol += static_cast<int>(code >> 24);
                }
                i += 8;
                continue;
            }
        }
        QpEncodeByte(p, i, nLen, cur);
        ++i;
    }
    curIo = cur;
}

// Whether a block reads as text: two of four eight-byte words spread over it hold only safe
// bytes (in random bytes one word in 2,500 does).
bool QpLooksLikeText(const unsigned char* p, size_t n) {
    int nSafe = 0;
    for (size_t i = 0; i + 8 <= n; i += n / 4) {
        uint64_t x;
        memcpy(&x, p + i, 8);
        nSafe += QpUnsafeBytes(x) == 0;
    }
    return nSafe >= 2;
}

}  // namespace

bool OrvQuotedPrintableEncode(const void* pData, size_t nLen, COrvStringA& strOut, COrvError& err) {
    const int nOld = strOut.GetLength();
    // Worst case three characters a byte, a soft break every 25 bytes, and the slack of the
    // widest write past the end (sixteen bytes).
    const size_t nRoom = static_cast<size_t>(INT_MAX - nOld);
    if (nLen > nRoom / 4)
        return err.SetFormat(
            enNetNoMemory, "quoted-printable: %zu bytes make more text than a string holds", nLen);
    const size_t nCap = nLen * 3 + (nLen / 24 + 1) * 3 + 16;
    char* const pBuf = strOut.GetBufferSetLength(nOld + static_cast<int>(nCap));
    if (pBuf == nullptr)
        return err.SetFormat(enNetNoMemory, "quoted-printable: no memory for the text of %zu bytes",
                             nLen);
    AdviseHugePages(pBuf + nOld, nCap);
    const unsigned char* p = static_cast<const unsigned char*>(pData);
    QpCursor cur = {pBuf + nOld, 0};
#if defined(__x86_64__)
    static const auto encodeBytes =
        __builtin_cpu_supports("ssse3") ? QpEncodeBytesSsse3 : QpEncodeBytes;
#else
    const auto encodeBytes = QpEncodeBytes;
#endif
    // Each block takes the way that suits it; both give the same characters.
    constexpr size_t kBlock = 1024;
    for (size_t i = 0; i < nLen; i += kBlock) {
        const size_t iEnd = std::min(nLen, i + kBlock);
        if (QpLooksLikeText(p + i, iEnd - i))
            QpEncodeRuns(p, i, iEnd, nLen, cur);
        else
            encodeBytes(p, i, iEnd, nLen, cur);
    }
    strOut.ReleaseBuffer(static_cast<int>(cur.o - pBuf));
    return true;
}
