// The portable half of the console pipe: conversion of the child's bytes, the insertion into the
// pane and the end notification. Processes, pipes and threads are in console-pipe-posix.cpp.
#include "console-pipe.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "orv-utf.h"

namespace {

// Length of the UTF-8 sequence that lead byte b starts, 0 when b cannot start one.
int Utf8SequenceLength(unsigned char b) {
    if (b < 0x80) {
        return 1;
    }
    if (b >= 0xC2 && b <= 0xDF) {
        return 2;
    }
    if (b >= 0xE0 && b <= 0xEF) {
        return 3;
    }
    if (b >= 0xF0 && b <= 0xF4) {
        return 4;
    }
    return 0;
}

// Whether the second byte b2 may follow lead byte b1 (the ranges that rule out overlong forms,
// surrogates and values above U+10FFFF).
bool Utf8SecondByteOk(unsigned char b1, unsigned char b2) {
    switch (b1) {
        case 0xE0:
            return b2 >= 0xA0 && b2 <= 0xBF;
        case 0xED:
            return b2 >= 0x80 && b2 <= 0x9F;
        case 0xF0:
            return b2 >= 0x90 && b2 <= 0xBF;
        case 0xF4:
            return b2 >= 0x80 && b2 <= 0x8F;
        default:
            return (b2 & 0xC0) == 0x80;
    }
}

// Number of bytes at the end of p[0..n) that start a valid UTF-8 sequence the input ends inside
// of; 0 when the input ends on a character boundary or in an invalid sequence.
int Utf8IncompleteTail(const unsigned char* p, int n) {
    for (int nTail = 1; nTail <= 3 && nTail <= n; ++nTail) {
        const unsigned char b = p[n - nTail];
        if ((b & 0xC0) == 0x80) {
            continue;  // a continuation byte: its lead is further back
        }
        const int nNeed = Utf8SequenceLength(b);
        if (nNeed <= nTail) {
            return 0;  // complete, or not a lead byte at all
        }
        if (nTail >= 2 && !Utf8SecondByteOk(b, p[n - nTail + 1])) {
            return 0;
        }
        return nTail;
    }
    return 0;
}

}  // namespace

const char* g_pszPipeInterpreter = "/bin/sh";
const char* g_pszPipeCharset = nullptr;
std::atomic<bool> g_bConsoleAllocated{false};

int CPipeDecoder::Decode(const char* p, int nLen, char16_t* pOut) {
    int nOut = 0;
    // Pieces of at most 256 bytes, each with what the last one left over in front. NUL bytes are
    // dropped: the pane's text cannot hold them, and a terminal shows nothing for them either.
    constexpr int kPiece = 256;
    char buf[kMaxCarry + kPiece];
    int nPos = 0;
    do {
        int n = m_nCarry;
        memcpy(buf, m_carry, static_cast<size_t>(m_nCarry));
        m_nCarry = 0;
        for (const int nStop = nPos + kPiece < nLen ? nPos + kPiece : nLen; nPos < nStop; ++nPos) {
            if (p[nPos] != 0) {
                buf[n++] = p[nPos];
            }
        }
        nOut += m_hIconv ? DecodeIconv(buf, n, pOut + nOut) : DecodeUtf8(buf, n, pOut + nOut);
    } while (nPos < nLen);
    pOut[nOut] = 0;
    return nOut;
}

int CPipeDecoder::Flush(char16_t* pOut) {
    int nOut = 0;
    for (int i = 0; i < m_nCarry; ++i) {
        pOut[nOut++] = 0xFFFD;
    }
    m_nCarry = 0;
    pOut[nOut] = 0;
    return nOut;
}

int CPipeDecoder::DecodeUtf8(const char* p, int nLen, char16_t* pOut) {
    const int nTail = Utf8IncompleteTail(reinterpret_cast<const unsigned char*>(p), nLen);
    const int nBody = nLen - nTail;
    memcpy(m_carry, p + nBody, static_cast<size_t>(nTail));
    m_nCarry = nTail;
    if (nBody == 0) {
        pOut[0] = 0;
        return 0;
    }
    // Each byte gives at most one unit (a four-byte sequence gives two), plus room for the NUL.
    return OrvUtf8ToUtf16(p, nBody, true, pOut, nBody + 1);
}

bool PipeTagLines(const COrvStringW& text, const char16_t* pszTag, COrvStringW& strOut) {
    strOut.Empty();
    const char16_t* p = text;
    int nLen = text.GetLength();
    const bool bFinalLineEnd = nLen >= 2 && p[nLen - 1] == u'\n' && p[nLen - 2] == u'\r';
    if (bFinalLineEnd) {
        nLen -= 2;
    }
    int nTag = 0;
    while (pszTag[nTag]) {
        ++nTag;
    }
    int nPairs = 0;
    for (int i = 0; i + 1 < nLen; ++i) {
        if (p[i] == u'\r' && p[i + 1] == u'\n') {
            ++nPairs;
        }
    }
    const int nTotal = nLen + nPairs * nTag + (bFinalLineEnd ? 2 : 0);
    if (nTotal == 0) {
        return true;
    }
    char16_t* pOut = strOut.GetBuffer(nTotal);
    if (!pOut) {
        return false;
    }
    int nOut = 0;
    for (int i = 0; i < nLen; ++i) {
        pOut[nOut++] = p[i];
        if (p[i] == u'\n' && i > 0 && p[i - 1] == u'\r') {
            memcpy(pOut + nOut, pszTag, static_cast<size_t>(nTag) * sizeof(char16_t));
            nOut += nTag;
        }
    }
    if (bFinalLineEnd) {
        pOut[nOut++] = u'\r';
        pOut[nOut++] = u'\n';
    }
    strOut.ReleaseBuffer(nOut);
    return true;
}

CConsolePipe::CConsolePipe(bool bWinNT, std::shared_ptr<ITextPaneHost> wndOutput, uint32_t dwFlags)
    : m_dwFlags(dwFlags), m_wndOutput(std::move(wndOutput)), m_bWinNT(bWinNT) {}

CConsolePipe::~CConsolePipe() {
    Close();
}

void CConsolePipe::OnOutput(const char16_t* pszText) {
    if (!pszText || !m_wndOutput || !m_wndOutput->IsPaneAlive()) {
        return;
    }
    COrvStringW text;
    if (!TextPaneNormalised(pszText, text)) {
        return;  // no memory for this chunk: it is dropped like output for a missing pane
    }
    if (pszText != m_pszChunk || m_nChunkRuns == 0) {
        InsertIntoPane(text);
        return;
    }
    // The runs move with the CRs that the line ends gain.
    std::vector<CTextAttrRun> runs(m_pChunkRuns, m_pChunkRuns + m_nChunkRuns);
    TextPaneNormaliseRuns(pszText, static_cast<int>(std::char_traits<char16_t>::length(pszText)),
                          runs.data(), m_nChunkRuns);
    InsertIntoPane(text, runs.data(), m_nChunkRuns);
}

bool CConsolePipe::InsertIntoPane(const COrvStringW& text, const CTextAttrRun* pRuns, int nRuns) {
    const bool bPrefix = (m_dwFlags & CPIPE_PREFIX) != 0;
    char16_t szTag[32] = {};
    COrvStringW tagged;
    if (bPrefix) {
        // The tag names the pipe by the low 32 bits of its address, in lowercase hexadecimal.
        char szNarrow[32];
        const int n =
            snprintf(szNarrow, sizeof szNarrow,
                     "PIPE %x: ", static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)));
        for (int i = 0; i < n && i < 31; ++i) {
            szTag[i] = static_cast<unsigned char>(szNarrow[i]);
        }
        if (!PipeTagLines(text, szTag, tagged)) {
            return false;
        }
    }
    const COrvStringW& body = bPrefix ? tagged : text;
    return m_wndOutput->Invoke([&](ITextPane& pane) {
        TextPanePrepareAppend(pane);
        if (bPrefix) {
            // At the start of a line (or of an empty pane) the line begins with its tag.
            int nSelStart = 0;
            pane.GetSel(&nSelStart, nullptr);
            if (nSelStart == pane.LineIndex(pane.LineFromChar(-1))) {
                pane.ReplaceSel(szTag);
            }
        }
        if (nRuns > 0 && !bPrefix) {
            pane.ReplaceSelStyled(body, pRuns, nRuns);
        } else {
            pane.ReplaceSel(body);
        }
    });
}

void CTvConsolePipe::OnOutput(const char16_t* pszText) {
    if (!pszText && m_wndOutput) {
        m_wndOutput->PostPipeDone(reinterpret_cast<uintptr_t>(this));
    }
    CConsolePipe::OnOutput(pszText);
}
