// The stage between a pipe's reader and the pane.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "output-stage.h"

namespace {

CTextPaneOutput Chunk(const std::u16string& text, const std::vector<CTextAttrRun>& runs = {},
                      const char16_t* pszTag = nullptr) {
    CTextPaneOutput chunk;
    chunk.pText = text.c_str();
    chunk.nText = static_cast<int>(text.size());
    chunk.pRuns = runs.empty() ? nullptr : runs.data();
    chunk.nRuns = static_cast<int>(runs.size());
    chunk.pszLineTag = pszTag;
    return chunk;
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
    const std::u16string first = u"first\r\n";
    const std::u16string second = u"second";
    const std::u16string third = u"third\r\n";
    ASSERT_TRUE(stage.Put(Chunk(first)));
    ASSERT_TRUE(stage.Put(Chunk(second, {red})));
    ASSERT_TRUE(stage.Put(Chunk(third, {}, u"TAG: ")));
    EXPECT_EQ(nWakes, 1);  // the owner was armed for the first chunk only
    EXPECT_TRUE(stage.HasWaiting());

    COutputBatch batch;
    ASSERT_TRUE(stage.TakeOrArm(batch));
    ASSERT_EQ(batch.ChunkCount(), 3u);
    EXPECT_FALSE(stage.HasWaiting());
    // each text ends with a NUL; runs and tags come with their chunk
    std::u16string all;
    for (size_t i = 0; i < 3; ++i) {
        const CTextPaneOutput& chunk = batch.Chunk(i);
        all += TextOf(chunk) + chunk.pText[chunk.nText] + u"|" + char16_t(u'0' + chunk.nRuns) +
               (chunk.pszLineTag ? chunk.pszLineTag : u"") + u"|";
    }
    EXPECT_EQ(all, first + u'\0' + u"|0|" + second + u'\0' + u"|1|" + third + u'\0' + u"|0TAG: |");
    const CTextAttrRun& run = batch.Chunk(1).pRuns[0];
    EXPECT_EQ(std::tuple(run.nStart, run.nLength, run.attr.nFore),
              std::tuple(1, 2, red.attr.nFore));

    // Taken while disarmed: no wake until the owner finds the stage empty and arms it again.
    ASSERT_TRUE(stage.Put(Chunk(u"more")));
    EXPECT_EQ(nWakes, 1);
    ASSERT_TRUE(stage.TakeOrArm(batch));
    ASSERT_EQ(batch.ChunkCount(), 1u);
    EXPECT_FALSE(stage.TakeOrArm(batch));
    EXPECT_TRUE(batch.IsEmpty());
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
