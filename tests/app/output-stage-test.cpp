// The stage between a pipe's reader and the pane.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "output-stage.h"

using namespace std::string_literals;

namespace {

CTextPaneOutput Chunk(const std::u16string& text, const std::vector<CTextAttrRun>& runs = {},
                      const char16_t* pszTag = nullptr) {
    return {text.c_str(),
            static_cast<int>(text.size()),
            runs.empty() ? nullptr : runs.data(),
            static_cast<int>(runs.size()),
            pszTag,
            {}};
}

std::u16string Number(int n) {
    return std::u16string(1, static_cast<char16_t>(u'0' + n));
}

std::u16string TextOf(const CTextPaneOutput& chunk) {
    return std::u16string(chunk.pText, static_cast<size_t>(chunk.nText));
}

}  // namespace

TEST(OutputStage, ChunksArriveWholeInOrderAndWakeTheOwnerOncePerBatch) {
    std::atomic<int> nWakes{0};
    COutputStage stage([&] { ++nWakes; });
    CTextAttrRun red;
    red.nStart = 1;
    red.nLength = 2;
    red.attr.nFore = CTextAttr::kColourIndexed | 1;
    ASSERT_TRUE(stage.Put(Chunk(u"first\r\n")));
    ASSERT_TRUE(stage.Put(Chunk(u"second", {red})));
    ASSERT_TRUE(stage.Put(Chunk(u"third\r\n", {}, u"TAG: ")));
    EXPECT_EQ(nWakes, 1);  // the owner was armed for the first chunk only
    COutputBatch batch;
    ASSERT_TRUE(stage.TakeOrArm(batch));
    EXPECT_EQ(stage.WaitingUnits(), 0u);
    // each text ends with a NUL; runs and tags come with their chunk
    std::u16string all;
    for (size_t i = 0; i < batch.ChunkCount(); ++i) {
        const CTextPaneOutput& chunk = batch.Chunk(i);
        all +=
            TextOf(chunk) + chunk.pText[chunk.nText] + (chunk.pszLineTag ? chunk.pszLineTag : u"");
        for (int r = 0; r < chunk.nRuns; ++r) {
            all += Number(chunk.pRuns[r].nStart) + Number(chunk.pRuns[r].nLength) +
                   Number(static_cast<int>(chunk.pRuns[r].attr.nFore & 0xFF));
        }
        all += u"|";
    }
    EXPECT_EQ(all,
              u"first\r\n\0|second\0"
              u"121|third\r\n\0TAG: |"s);
    // Taken while disarmed: no wake until the owner finds the stage empty and arms it again.
    ASSERT_TRUE(stage.Put(Chunk(u"more")));
    ASSERT_TRUE(stage.TakeOrArm(batch));
    EXPECT_FALSE(stage.TakeOrArm(batch));
    ASSERT_TRUE(stage.Put(Chunk(u"again")));
    EXPECT_EQ(nWakes, 2);
}

TEST(OutputStage, AFullStageHoldsTheReaderBackUntilTheOwnerTakesIt) {
    // At most 100 units wait; a reader puts 50 chunks of 30 units against an owner that takes
    // only now and then. Nothing is lost or reordered, and the stage never holds much more than
    // its bound.
    COutputStage stage(nullptr, 100);
    std::atomic<int> nPut{0};
    std::thread reader([&] {
        for (int i = 0; i < 50; ++i) {
            std::u16string text(29, static_cast<char16_t>(u'A' + i % 26));
            text += static_cast<char16_t>(u'0' + i % 10);
            ASSERT_TRUE(stage.Put(Chunk(text)));
            ++nPut;
        }
    });
    std::u16string received;
    COutputBatch batch;
    int nTakes = 0;
    while (received.size() < 50 * 30) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (nTakes == 0) {
            // the reader stops once more than the bound waits: at 4 chunks, 120 units
            EXPECT_LE(nPut.load(), 4);
        }
        if (stage.TakeOrArm(batch)) {
            ++nTakes;
            EXPECT_LE(batch.Units(), 130u);
            for (size_t i = 0; i < batch.ChunkCount(); ++i) {
                received += TextOf(batch.Chunk(i));
            }
        }
    }
    reader.join();
    EXPECT_GE(nTakes, 10);
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(received[static_cast<size_t>(i * 30)], static_cast<char16_t>(u'A' + i % 26));
        ASSERT_EQ(received[static_cast<size_t>(i * 30 + 29)], static_cast<char16_t>(u'0' + i % 10));
    }
}

TEST(OutputStage, CloseReleasesAWaitingReaderAndRefusesMore) {
    COutputStage stage(nullptr, 10);
    ASSERT_TRUE(stage.Put(Chunk(u"0123456789ab")));  // over the bound: the next Put waits
    std::atomic<int> nResult{-1};
    std::thread reader([&] { nResult = stage.Put(Chunk(u"late")) ? 1 : 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(nResult, -1);
    stage.Close();
    reader.join();
    EXPECT_EQ(nResult, 0);
    EXPECT_FALSE(stage.Put(Chunk(u"after")));
    COutputBatch batch;
    EXPECT_FALSE(stage.TakeOrArm(batch));  // what waited went with the pane
}

TEST(OutputStage, AReadersBuffersAreTakenOverInOrderAndComeBackForReuse) {
    // Chunks laid out in the reader's buffers go over by exchange, between copied ones, in order
    // and with their line index and pieces; a chunk that is not laid out in them (text elsewhere)
    // is copied and leaves them alone. Once the owner is done with a batch, its buffers are what
    // the next exchanges hand back: no allocation for a flood's steady state.
    COutputStage stage(nullptr);
    COutputBuffers buffers;
    COutputBatch batch;
    const auto PutInBuffers = [&](const std::u16string& text) {
        buffers.text.assign(text.begin(), text.end());
        buffers.text.push_back(u'?');  // room for the NUL, not yet one
        buffers.starts.assign({static_cast<uint32_t>(text.size())});
        buffers.widest.clear();
        buffers.pieces.assign({1, static_cast<int>(text.size()) - 1});
        CTextPaneOutput chunk = Chunk(text);
        chunk.pText = buffers.text.data();
        chunk.lines.bValid = true;
        chunk.lines.pStarts = buffers.starts.data();
        chunk.lines.nLines = 1;
        chunk.lines.pWidest = buffers.widest.data();
        chunk.pPieces = buffers.pieces.data();
        chunk.nPieces = 2;
        chunk.pBuffers = &buffers;
        return stage.Put(chunk);
    };
    size_t nFresh = 0;  // buffers without memory the reader was given after the first rounds
    for (int nRound = 0; nRound < 20; ++nRound) {
        ASSERT_TRUE(PutInBuffers(u"ab\r\n"));
        nFresh += nRound >= 2 && buffers.text.capacity() == 0 ? 1 : 0;
        const std::u16string copied = u"copied";
        CTextPaneOutput loose = Chunk(copied);
        loose.pBuffers = &buffers;  // its text is not in them
        const CTextBuffer<char16_t> before = buffers.text;
        ASSERT_TRUE(stage.Put(loose));
        EXPECT_EQ(buffers.text, before);
        ASSERT_TRUE(PutInBuffers(u"cd\r\n"));
        nFresh += nRound >= 2 && buffers.text.capacity() == 0 ? 1 : 0;
        ASSERT_TRUE(stage.TakeOrArm(batch));
        ASSERT_EQ(batch.ChunkCount(), 3u);
        EXPECT_EQ(batch.Units(), 14u);
        std::u16string all;
        for (size_t i = 0; i < 3; ++i) {
            const CTextPaneOutput chunk = batch.Chunk(i);
            all += TextOf(chunk) + chunk.pText[chunk.nText] + u"|";
            if (i != 1) {
                ASSERT_TRUE(chunk.lines.bValid);
                EXPECT_EQ(chunk.lines.pStarts[0], 4u);
                ASSERT_EQ(chunk.nPieces, 2);
                EXPECT_EQ(chunk.pPieces[1], 3);
            }
        }
        ASSERT_EQ(all, u"ab\r\n\0|copied\0|cd\r\n\0|"s);
        batch.Clear();
    }
    // the two batches that take turns hold two buffers each, which go round
    EXPECT_EQ(nFresh, 0u);
}
