// Multipart form data: the writer of uploads (client) and the parser of form submissions
// (server side).
//
// Writing: the caller takes a boundary from OrvHttpNewBoundary, sets "Content-Type" to
// "multipart/form-data; boundary=" + boundary, adds up the byte counts the part writers return
// (measured with a null sink) and the file sizes into the Content-Length, sends the request with
// body mode 2, writes the parts and the closing delimiter, and reads the response.
#pragma once

#include <cstdint>

#include "orv-coll.h"
#include "orv-error.h"
#include "orv-http-io.h"
#include "orv-http-txn.h"
#include "orv-string.h"

// A new GUID in its braced text form ("{8-4-4-4-12}" upper-case hexadecimal, version 4) made of
// 16 random bytes from the crypto library. False with err filled when no random bytes can be had.
[[nodiscard]] bool OrvHttpNewBoundary(COrvStringA& sBoundary, COrvError& err);

// Each writer returns the number of bytes its part contributes to the body, or -1 with err
// filled. With a null pSink nothing is written (measuring). Written bytes go through
// OrvHttpWriteBody, so a chunked request frames them. CR or LF in the boundary, disposition or
// content type fails with enNetBadRequest before anything is written.
//
// The header of a file part: "--%s\r\n", "content-disposition: %s\r\n" when pszDisposition is
// not empty, "Content-Type: %s\r\n", "Content-Transfer-Encoding: binary\r\n", "\r\n". The file's
// bytes follow (OrvHttpWriteBody or OrvHttpWriteFileBody), then OrvHttpMultipartFileEnd.
int64_t OrvHttpMultipartFileHeader(IOrvByteSink* pSink, COrvHttpTxn* pTxn, const char* pszBoundary,
                                   const char* pszDisposition, const char* pszContentType,
                                   COrvError& err);
// The "\r\n" after a file's bytes (2).
int64_t OrvHttpMultipartFileEnd(IOrvByteSink* pSink, COrvHttpTxn* pTxn, COrvError& err);
// A text part: "--%s\r\n", the optional "content-disposition: %s\r\n", "Content-Type: %s\r\n",
// "\r\n", the value and "\r\n".
int64_t OrvHttpMultipartTextPart(IOrvByteSink* pSink, COrvHttpTxn* pTxn, const char* pszBoundary,
                                 const char* pszDisposition, const char* pszContentType,
                                 const COrvStringA& sValue, COrvError& err);
// The closing delimiter "--" + boundary + "--\r\n".
int64_t OrvHttpMultipartClose(IOrvByteSink* pSink, COrvHttpTxn* pTxn, const char* pszBoundary,
                              COrvError& err);

// One part of a submitted form.
struct COrvHttpFormPart {
    COrvStringA m_sName;
    COrvStringA m_sFileName;     // empty when the part has none
    COrvStringA m_sContentType;  // empty when the part has none
    COrvStringA m_sData;
};

// Splits a "multipart/form-data" body into its parts. Failures (enNetBadRequest):
// "Wrong Content-Type: " + type; "No boundary in form submit body: " + type; a part not starting
// with the delimiter "Bad part start at pos %d in submit body"; a part header not ended by an
// empty line "No \r in header end in form submit body: header_end=%d", "No \n after header end
// in form submit body: header_end=%d", "Bad header end in form submit body: header_end=%d" (the
// backslashes literal); a "content-disposition" that is not "form-data" with a "name" (an
// optional "filename") "Wrong content disposition in form submit body: " + value; a part without
// its closing delimiter "Cannot find end boundary in submit body: header_start=%d". parts holds
// the parts read before a failure.
[[nodiscard]] bool OrvHttpParseFormSubmit(const char* pszContentType, const COrvStringA& sBody,
                                          COrvArray<COrvHttpFormPart>& parts, COrvError& err);
