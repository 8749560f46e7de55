// Line indexes worked out by the reader and handed over with each chunk: a text model fed with them
// must end up exactly like one that finds the lines itself.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "console-pipe.h"
#include "output-stage.h"
#include "output-text.h"

namespace {

// Takes the pipe's chunks through a stage batch (which copies the indexes) into two models: one
// given each chunk's index, one scanning the text itself. Front removals hit both alike.
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
        plain.Append(copy.pText, copy.nText);
        return true;
    }

    COutputBatch batch;
    COutputText indexed;
    COutputText plain;
    int nIndexed = 0;
};

void ExpectSameModel(const COutputText& a, const COutputText& b) {
    ASSERT_EQ(std::u16string(a.Data(), static_cast<size_t>(a.GetLength())),
              std::u16string(b.Data(), static_cast<size_t>(b.GetLength())));
    ASSERT_EQ(a.GetLineCount(), b.GetLineCount());
    for (int nLine = 0; nLine < a.GetLineCount(); ++nLine) {
        ASSERT_EQ(a.LineIndex(nLine), b.LineIndex(nLine)) << "line " << nLine;
    }
    ASSERT_EQ(a.GetMaxColumns(), b.GetMaxColumns());
    ASSERT_EQ(a.GetLastLineColumns(), b.GetLastLineColumns());
}

}  // namespace

TEST(PaneLineIndex, ChunksWithTheirIndexBuildTheSameModelAsScanning) {
    // Pieces that move line ends, widths and tab stops about: bare LFs and CRs (a CR at a
    // chunk's end pairs with an LF at the next one's start), tabs before and after line ends,
    // wide characters, a surrogate pair, control characters and plain runs of several lengths.
    const std::u16string pieces[] = {
        u"\n",     u"\r",   u"\r\n",         u"\t",         u"a",        u"yy\n",
        u"\tx\ty", u"\x7f", u"\u4e2d\u6587", u"\U0001F600", u"\x01\x1b", u"0123456789abcdefghij"};
    std::mt19937 rng(39);
    for (int nRound = 0; nRound < 40; ++nRound) {
        auto pHost = std::make_shared<CTwoModelHost>();
        CConsolePipe pipe(false, pHost, 0);
        for (int nChunk = 0; nChunk < 300; ++nChunk) {
            std::u16string text;
            for (int nPiece = static_cast<int>(rng() % 12) + 1; nPiece > 0; --nPiece) {
                const std::u16string& piece = pieces[rng() % std::size(pieces)];
                text += rng() % 8 == 0 ? std::u16string(rng() % 40 + 1, u'w') : piece;
            }
            pipe.OnOutput(text.c_str());
            if (rng() % 16 == 0) {
                // the oldest text leaves, taking some lines (and the widest) with it
                const int nErase = static_cast<int>(rng() % 200);
                pHost->indexed.EraseFront(nErase);
                pHost->plain.EraseFront(nErase);
            }
            ASSERT_NO_FATAL_FAILURE(ExpectSameModel(pHost->indexed, pHost->plain))
                << "round " << nRound << ", chunk " << nChunk;
        }
        EXPECT_EQ(pHost->nIndexed, 300);  // every chunk came with its index
    }
}
