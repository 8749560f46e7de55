// The mail sender: one message (plain text or HTML, with optional file attachments) to one or
// more recipients over SMTP, on a plain connection, with TLS from the start or upgraded with
// STARTTLS, with optional AUTH LOGIN; the e-mail address validator; the stored mail settings; and
// the decoding of encoded words ("=?UTF-8?B?...?=") in received headers.
//
// The server's certificate is always verified (the system roots of the TLS layer, plus the one
// extra certificate or CA file the settings may name). The password is never sent over a
// connection without TLS when STARTTLS was asked for and the server did not offer it.
//
// Every fallible function returns false with a result code and a text: enNetServer for commands
// the server refused, enNetAuth for login failures, enNetConnection for transport errors,
// enNetBadRequest for bad input found before connecting. Any thread; nothing is shared.
#pragma once

#include <cstddef>

#include "orv-coll.h"
#include "orv-error.h"
#include "orv-string.h"

class COrvSocket;

// How to reach and log in to the mail server, and who sends.
struct OrvMailSettings {
    COrvStringA strSmtpServer;  // host name or address
    int nPort = 25;
    COrvStringA strUserId;    // empty: no authentication
    COrvStringA strPassword;  // in clear here; stored encrypted
    bool bSecureSsl = false;  // TLS from the start
    bool bStartTls = false;   // upgrade with STARTTLS when the server offers it
    COrvStringA strSenderEmail;
    COrvStringA strReturnPath;  // envelope sender (MAIL FROM) when not empty
    // PEM file of one extra certificate or CA to trust ("": none), for a company's own server.
    // It joins the process-wide trust store of the TLS layer, so it stays trusted for the
    // process's other TLS connections too.
    COrvStringA strTrustedCa;
};

// One message. Recipients are separated by ";" or ","; each may be written "Name <address>".
struct OrvMailMessage {
    COrvStringA strSenderName;  // optional
    COrvStringA strRecipients;
    COrvStringA strSubject;
    COrvStringA strBody;                 // HTML when it starts with "<html>"
    COrvArray<COrvStringA> attachments;  // file paths
};

// Sends the message. Input is checked before connecting (server, recipient and sender present;
// no CR or LF in the subject, the names, the addresses or the attachment names; every attachment
// readable). The body goes as text with its line ends made CR LF and dots doubled at line
// starts, or in quoted-printable when one of its lines is longer than the 998 characters SMTP
// carries. Each command and reply line is traced to g_orv_log (the credentials as "*****").
// Every failure closes the connection; the text starts with the failing step ("EHLO rejected: ",
// "bad recipient: ", ...) followed by the server's reply or the transport's reason. Blocks.
[[nodiscard]] bool OrvSendMail(const OrvMailSettings& settings, const OrvMailMessage& msg,
                               COrvError& err);
[[nodiscard]] bool OrvSendMail(const OrvMailSettings& settings, const OrvMailMessage& msg,
                               int& nCode, COrvStringA& strError);

// Checks the form of one e-mail address (enNetBadRequest with the reason when it is not
// acceptable). The box name may hold a-z A-Z 0-9 _ - . + ' and the server name a-z A-Z 0-9 - .;
// the server name needs at least two labels, at least 4 characters, no label starting or ending
// with "-" and a last label of at least two characters with a letter in it.
[[nodiscard]] bool OrvValidateEmail(const char* pszAddress, COrvError& err);
[[nodiscard]] bool OrvValidateEmail(const char* pszAddress, int& nCode, COrvStringA& strError);

// Writes the settings to pszPath (replaced whole, mode 0600, also when the file existed), one
// value per line as "<Key>value</Key>" with "&", "<", ">", CR and LF escaped as character
// references; the password as Base64 of its Random32 AES form under the built-in pass phrase.
[[nodiscard]] bool OrvSaveMailSettings(const char* pszPath, const OrvMailSettings& settings,
                                       COrvError& err);
// Reads the settings written by OrvSaveMailSettings; keys not present keep their defaults,
// unknown keys and lines are ignored. A password that does not decrypt fails the load.
[[nodiscard]] bool OrvLoadMailSettings(const char* pszPath, OrvMailSettings& settings,
                                       COrvError& err);

// Decodes the B and Q encoded words of a received header value to UTF-8 (words in charsets
// other than UTF-8, ISO-8859-1 and windows-1252, and malformed ones, stay as written), tracing
// each word it decodes.
COrvStringA OrvMailDecodeHeader(const char* pszValue);
// A header value as sent: itself when it is printable ASCII of at most 900 characters, else
// UTF-8 B encoded words of at most 75 characters each, whole characters per word, separated by
// "\r\n " (folded lines).
COrvStringA OrvMailEncodeHeader(const char* pszValue);

// Quoted-printable form of nLen bytes: every byte other than printable ASCII, "=" excepted, as
// "=XX" (CR and LF too, so that the decoded bytes are exactly the input), a "." starting a line
// and a space or tab ending the data as well; lines of at most 76 characters joined by soft
// breaks ("=\r\n"). Appends to strOut. Output the string cannot hold, or memory that cannot be
// had, is enNetNoMemory with strOut unchanged.
[[nodiscard]] bool OrvQuotedPrintableEncode(const void* pData, size_t nLen, COrvStringA& strOut,
                                            COrvError& err);

// One server reply: its code and its lines' texts (after the code), joined by "; ".
struct OrvSmtpReply {
    int nCode = 0;
    COrvStringA strText;
    COrvArray<COrvStringA> lines;
};
// Reads one reply ("250-first", ..., "250 last"), tracing each line with pszServer. A line
// without a three-digit code, a continuation line with another code, or more than 1000 lines is
// "bad reply from <server>: <line>" (enNetServer); the end of the stream before the reply is
// "reading reply from <server>: socket closed (EOF)", inside a reply "Server EOF"
// (enNetConnection).
[[nodiscard]] bool OrvSmtpReadReply(COrvSocket& sock, const char* pszServer, OrvSmtpReply& reply,
                                    COrvError& err);
