// Line indexes worked out by the reader and handed over with each chunk: a text model fed with them
// must end up exactly like one that finds the lines itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>

#include "console-pipe.h"
#include "output-stage.h"
#include "output-text.h"
#include "text-model-expect.h"

namespace {

// Takes the pipe's chunks through a stage batch (which copies the indexes) into two models: one
// given each chunk's index, one scanning each piece of it on its own. Front removals hit both
// alike.
class CTwoModelHost : public ITextPaneHost {
public:
    bool Call(PaneFn, void*) override { return true; }
    bool IsPaneAlive() const override { return true; }
    bool PostPipeDone(uintptr_t) override { return true; }
    void Detach() override {}
    bool AppendOutput(const CTextPaneOutput& chunk) override {
        batch.Add(chunk);
        const CTextPaneOutput copy = batch.Chunk(batch.ChunkCount() - 1);
        nIndexed += copy.lines.bValid ? 1 : 0;
        indexed.Append(copy.pText, copy.nText, copy.lines.bValid ? &copy.lines : nullptr);
        const char16_t* p = copy.pText;
        for (int i = 0; i < std::max(1, copy.nPieces); ++i) {
            const int n = copy.nPieces > 0 ? copy.pPieces[i] : copy.nText;
            plain.Append(p, n);
            p += n;
        }
        EXPECT_EQ(p, copy.pText + copy.nText);
        return true;
    }

    COutputBatch batch;
    COutputText indexed;
    COutputText plain;
    int nIndexed = 0;
};

// A pipe fed as its reader feeds it: chunks gathered until the read is done.
class CReaderPipe : public CConsolePipe {
public:
    using CConsolePipe::CConsolePipe;
    using CConsolePipe::FlushOutput;
    void Deliver(const std::u16string& text) {
        m_pszChunk = text.c_str();
        m_nChunkLen = static_cast<int>(text.size());
        OnOutput(m_pszChunk);
        m_pszChunk = nullptr;
    }
};

}  // namespace

TEST(PaneLineIndex, ChunksWithTheirIndexBuildTheSameModelAsScanning) {
    // Pieces that move line ends, widths and tab stops about: bare LFs and CRs (a CR at a
    // chunk's end pairs with an LF at the next one's start), tabs before and after line ends,
    // wide characters, a surrogate pair, control characters, plain runs of several lengths and
    // floods of lines of one width.
    // Chunks go one at a time, or several of a read together (normalised and indexed in one
    // pass, each chunk still normalised on its own).
    const std::u16string pieces[] = {
        u"\n",     u"\r",   u"\r\n",         u"\t",         u"a",        u"yy\n",
        u"\tx\ty", u"\x7f", u"\u4e2d\u6587", u"\U0001F600", u"\x01\x1b", u"0123456789abcdefghij"};
    std::mt19937 rng(39);
    for (int nRound = 0; nRound < 40; ++nRound) {
        const bool bGather = nRound % 2 == 1;
        auto pHost = std::make_shared<CTwoModelHost>();
        CReaderPipe pipe(false, pHost, 0);
        std::u16string expected;
        int nHandOvers = 0;
        for (int nChunk = 0; nChunk < 300; ++nChunk) {
            std::u16string text;
            for (int nPiece = static_cast<int>(rng() % 12) + 1; nPiece > 0; --nPiece) {
                const std::u16string& piece = pieces[rng() % std::size(pieces)];
                if (rng() % 8 == 0) {
                    text += std::u16string(rng() % 40 + 1, rng() % 2 ? u'w' : u'\n');
                } else if (rng() % 16 == 0) {
                    // a flood of one line, or of lines that grow by one now and then (as
                    // numbers do), long enough for whole blocks of line ends
                    std::u16string line(rng() % 70, u'7');
                    for (int n = static_cast<int>(rng() % 40) + 1; n > 0; --n) {
                        line += rng() % 16 == 0 ? u"7" : u"";
                        text += line + u"\n";
                    }
                } else {
                    text += piece;
                }
            }
            std::u16string normalised(2 * text.size() + 1, u'\0');
            normalised.resize(static_cast<size_t>(TextPaneNormaliseLineEnds(
                text.data(), static_cast<int>(text.size()), normalised.data())));
            expected += normalised;
            if (!bGather) {
                pipe.OnOutput(text.c_str());
                ++nHandOvers;
            } else {
                pipe.Deliver(text);
                if (rng() % 4 != 0) {
                    continue;  // more chunks of the same read
                }
                pipe.FlushOutput();
                ++nHandOvers;
            }
            if (rng() % 16 == 0) {
                // the oldest text leaves, taking some lines (and the widest) with it
                const int nErase = static_cast<int>(rng() % 200);
                pHost->indexed.EraseFront(nErase);
                pHost->plain.EraseFront(nErase);
                expected.erase(0, std::min<size_t>(expected.size(), static_cast<size_t>(nErase)));
            }
            ASSERT_NO_FATAL_FAILURE(ExpectSameModel(pHost->indexed, pHost->plain))
                << "round " << nRound << ", chunk " << nChunk;
            ASSERT_EQ(
                std::u16string(pHost->plain.Data(), static_cast<size_t>(pHost->plain.GetLength())),
                expected);
        }
        EXPECT_EQ(pHost->nIndexed, nHandOvers);  // every hand-over came with its index
        // the lines leave one by one: each model's widest line counts until that very line goes
        while (pHost->indexed.GetLineCount() > 1) {
            const int nFirst = pHost->indexed.LineIndex(1);
            pHost->indexed.EraseFront(nFirst);
            pHost->plain.EraseFront(nFirst);
            ASSERT_EQ(pHost->indexed.GetMaxColumns(), pHost->plain.GetMaxColumns())
                << "round " << nRound << ", " << pHost->indexed.GetLineCount() << " lines left";
        }
    }
}
