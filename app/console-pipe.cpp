// The portable half of the console pipe: conversion of the child's bytes, the insertion into the
// pane and the end notification. Processes, pipes and threads are in console-pipe-posix.cpp.
#include "console-pipe.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "orv-utf.h"

int PipeDecodeAndFilter(CPipeDecoder& decoder, CEscapeFilter& filter, const char* p, int nLen,
                        char16_t* pScratch, char16_t* pOut, std::vector<CTextAttrRun>& runs) {
    // Only UTF-8 maps every ASCII byte to the same code point; another set may not (0x5C is a
    // currency sign in some).
    if (decoder.IsUtf8() && decoder.IsAtCharacterStart() && filter.IsInText() &&
        TextPaneWidenAscii(p, nLen, false, pOut, nullptr) >= 0) {
        pOut[nLen] = 0;
        if (nLen > 0 && !filter.Current().IsDefault()) {
            runs.push_back(CTextAttrRun{0, nLen, filter.Current()});
        }
        return nLen;
    }
    const int nOut = filter.Filter(pScratch, decoder.Decode(p, nLen, pScratch), pOut, runs);
    pOut[nOut] = 0;
    return nOut;
}

const char* g_pszPipeInterpreter = "/bin/sh";
const char* g_pszPipeCharset = nullptr;
std::atomic<bool> g_bConsoleAllocated{false};

int CPipeDecoder::Decode(const char* p, int nLen, char16_t* pOut) {
    if (m_nCarry == 0 && !m_iconv.IsOpen() &&
        std::memchr(p, 0, static_cast<size_t>(nLen)) == nullptr) {
        // the common case: UTF-8 without NUL bytes goes straight to the decoder
        const int nOut = m_utf8.Decode(p, nLen, pOut);
        pOut[nOut] = 0;
        return nOut;
    }
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
        nOut += m_iconv.IsOpen() ? DecodeIconv(buf, n, pOut + nOut)
                                 : m_utf8.Decode(buf, n, pOut + nOut);
    } while (nPos < nLen);
    pOut[nOut] = 0;
    return nOut;
}

int CPipeDecoder::Flush(char16_t* pOut) {
    int nOut = 0;
    for (int i = 0; i < m_nCarry; ++i) {
        pOut[nOut++] = 0xFFFD;
    }
    nOut += m_utf8.Finish(pOut + nOut);
    m_nCarry = 0;
    pOut[nOut] = 0;
    return nOut;
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
    if (!pszText) {
        FlushOutput();
        return;
    }
    if (!m_wndOutput || !m_wndOutput->IsPaneAlive()) {
        m_out.pieces.clear();
        m_nGathered = 0;
        return;
    }
    // Reader thread only: the buffers are reused from chunk to chunk.
    const int nLen = pszText == m_pszChunk
                         ? m_nChunkLen
                         : static_cast<int>(std::char_traits<char16_t>::length(pszText));
    const bool bGather = pszText == m_pszChunk && m_nChunkRuns == 0 && !(m_dwFlags & CPIPE_PREFIX);
    if (!bGather) {
        FlushOutput();
    }
    int nText = m_nChunkNormalised;  // the reader normalised the chunk in its place already
    if (!bGather || nText < 0) {
        nText =
            TextPaneNormaliseLineEnds(pszText, nLen, TextRoom(2 * static_cast<size_t>(nLen) + 1));
    }
    if (bGather) {
        // plain chunks of one read go over together (FlushOutput), each still a piece of its own
        // and normalised on its own, but indexed in one scan
        m_nGathered += static_cast<size_t>(nText);
        m_out.pieces.push_back(nText);
        return;
    }
    // Tagged text is indexed where it goes: the tags change its lines.
    const CTextLineIndex* pLines =
        (m_dwFlags & CPIPE_PREFIX) ? nullptr : &m_lineScan.Scan(m_out.text.data(), nText);
    if (pszText != m_pszChunk || m_nChunkRuns == 0) {
        InsertIntoPane(m_out.text.data(), nText, nullptr, 0, pLines);
        return;
    }
    // The runs move with the CRs that the line ends gain.
    m_normalisedRuns.assign(m_pChunkRuns, m_pChunkRuns + m_nChunkRuns);
    TextPaneNormaliseRuns(pszText, nLen, m_normalisedRuns.data(), m_nChunkRuns);
    InsertIntoPane(m_out.text.data(), nText, m_normalisedRuns.data(), m_nChunkRuns, pLines);
}

char16_t* CConsolePipe::TextRoom(size_t nUnits) {
    if (m_out.text.size() < m_nGathered + nUnits) {
        m_out.text.resize(m_nGathered + nUnits);
    }
    return m_out.text.data() + m_nGathered;
}

char16_t* CConsolePipe::GatherRoom(size_t nUnits) {
    return (m_dwFlags & CPIPE_PREFIX) ? nullptr : TextRoom(nUnits);
}

void CConsolePipe::FlushOutput() {
    if (m_out.pieces.empty()) {
        return;
    }
    const int nText = static_cast<int>(m_nGathered);
    TextRoom(1);  // the NUL after the text
    const CTextLineIndex& lines =
        m_lineScan.Scan(m_out.text.data(), nText, m_out.starts, m_out.widest);
    InsertIntoPane(m_out.text.data(), nText, nullptr, 0, &lines, m_out.pieces.data(),
                   static_cast<int>(m_out.pieces.size()), &m_out);
    m_out.pieces.clear();
    m_nGathered = 0;
}

bool CConsolePipe::InsertIntoPane(const char16_t* pText, int nText, const CTextAttrRun* pRuns,
                                  int nRuns, const CTextLineIndex* pLines, const int* pPieces,
                                  int nPieces, COutputBuffers* pBuffers) {
    CTextPaneOutput chunk;
    chunk.pText = pText;
    chunk.nText = nText;
    char16_t szTag[32] = {};
    COrvStringW tagged;
    if (m_dwFlags & CPIPE_PREFIX) {
        // The tag names the pipe by the low 32 bits of its address, in lowercase hexadecimal.
        char szNarrow[32];
        const int n =
            snprintf(szNarrow, sizeof szNarrow,
                     "PIPE %x: ", static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)));
        for (int i = 0; i < n && i < 31; ++i) {
            szTag[i] = static_cast<unsigned char>(szNarrow[i]);
        }
        if (!PipeTagLines(COrvStringW(pText, nText), szTag, tagged)) {
            return false;
        }
        chunk.pText = tagged;
        chunk.nText = tagged.GetLength();
        chunk.pszLineTag = szTag;
    } else {
        chunk.pRuns = pRuns;
        chunk.nRuns = nRuns;
        if (pLines != nullptr) {
            chunk.lines = *pLines;
        }
        chunk.pPieces = pPieces;
        chunk.nPieces = nPieces;
        chunk.pBuffers = pBuffers;
    }
    return m_wndOutput->AppendOutput(chunk);
}

void CTvConsolePipe::OnOutput(const char16_t* pszText) {
    if (!pszText && m_wndOutput) {
        m_wndOutput->PostPipeDone(reinterpret_cast<uintptr_t>(this));
    }
    CConsolePipe::OnOutput(pszText);
}
