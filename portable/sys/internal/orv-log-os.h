// What the log needs from the operating system (implemented in orv-log-posix.cpp). Internal to
// the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

// Opens (creating when missing) pszPath for appending; returns the descriptor, or -1 with the
// system error number in nErr.
int OrvLogOsOpenAppend(const char* pszPath, int& nErr);
// Writes all n bytes (through the replaceable system calls, retrying EINTR and short writes).
// False with nErr on failure; nWritten holds what reached the file in either case.
bool OrvLogOsWrite(int fd, const char* p, size_t n, size_t& nWritten, int& nErr);
// Closes the descriptor.
void OrvLogOsClose(int fd);
// Size of the open file, or -1.
long long OrvLogOsFileSize(int fd);
// Writes the bytes to standard error directly (never through the replaceable calls, so that a
// failure injected into the log's writes cannot silence its report).
void OrvLogOsStderr(const char* p, size_t n);
// Writes the bytes to standard output and flushes it.
void OrvLogOsStdout(const char* p, size_t n);
// strftime of t in local time into pBuf (nCap bytes); the length, or -1 when the breakdown fails,
// -2 when the result does not fit.
int OrvLogOsFormatLocal(int64_t t, const char* pszPattern, char* pBuf, size_t nCap);
