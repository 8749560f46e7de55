// The pane's text model against a plain string while text flows through it many times over, in
// rings kept for reuse and taken back after a clear, and with the bound not known.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mirror-ring.h"
#include "output-pane.h"
#include "output-text.h"

namespace {

// The text, its lines and the last line's columns, counted one code point at a time, agree with
// the plain string.
void ExpectModel(const COutputText& text, std::u16string_view model) {
    ASSERT_EQ(std::u16string_view(text.Data(), static_cast<size_t>(text.GetLength())), model);
    int64_t nCol = 0;
    int nLine = 0;
    for (size_t i = 0; i < model.size(); ++i) {
        const char16_t c = model[i];
        if (c == u'\n' && i > 0 && model[i - 1] == u'\r') {
            nCol = 0;
            ASSERT_EQ(text.LineIndex(++nLine), static_cast<int>(i + 1));
            ASSERT_EQ(text.LineFromChar(static_cast<int>(i + 1)), nLine);
        } else if (c == u'\t') {
            nCol += 8 - nCol % 8;
        } else if (c >= 0xD800 && c < 0xDC00 && i + 1 < model.size()) {
            nCol += COutputText::CharColumns(0x10000 + ((char32_t(c) - 0xD800) << 10) +
                                             (model[++i] - 0xDC00));
        } else {
            nCol += COutputText::CharColumns(c);
        }
    }
    ASSERT_EQ(text.GetLineCount(), nLine + 1);
    EXPECT_EQ(text.GetLastLineColumns(), nCol);
}

}  // namespace

TEST(PaneTextModel, TextFlowingThroughManyTimesOverMatchesAModel) {
    // Random pieces (long runs of plain ASCII for the block-wise scan, tabs, control and wide
    // characters, pairs, lone CRs and LFs, CR LF pairs) appended in random lengths, short and
    // long mixed, that split line ends, the front trimmed by a chunk's 255 or by any count (which
    // now and then leaves an LF at the front), never inside a pair. Bounded, the rings are large
    // enough to be kept at a clear, and the second round runs in rings taken back.
    constexpr int kMax = 600 * 1024;
    const std::u16string kOthers[] = {u"\t", u"\a",   u"\u4e00", u"\U0001F600", u"\r",
                                      u"\n", u"\r\n", u"\u00e9", u"\x7f"};
    std::mt19937 random(7);
    for (const bool bBounded : {true, false}) {
        COutputText text;
        if (bBounded) {
            text.SetExpectedMax(kMax);
        }
        for (int nRound = 0; nRound < (bBounded ? 2 : 1); ++nRound) {
            std::u16string all;  // the live text is all.substr(nFront)
            size_t nFront = 0;
            for (int nStep = 0; nStep < 4000; ++nStep) {
                std::u16string chunk;
                // now and then a long piece, which the rings write another way on a first pass
                const size_t nMost = random() % 16 == 0 ? 24 * 1024 : 800;
                for (const size_t nLen = random() % nMost; chunk.size() < nLen;) {
                    if (random() % 3 != 0) {
                        chunk.append(random() % 40, static_cast<char16_t>(u'!' + random() % 90));
                    } else {
                        chunk += kOthers[random() % std::size(kOthers)];
                    }
                }
                text.Append(chunk.data(), static_cast<int>(chunk.size()));
                all += chunk;
                if (text.GetLength() > kMax - 255) {
                    size_t nErase =
                        std::max(random() % 4 == 0 ? random() % 300 : 255,
                                 static_cast<size_t>(std::max(0, text.GetLength() - kMax)));
                    nErase += all[nFront + nErase] >= 0xDC00 && all[nFront + nErase] < 0xE000;
                    text.EraseFront(static_cast<int>(nErase));
                    nFront += nErase;
                }
                if (nStep % 500 == 499) {
                    ASSERT_NO_FATAL_FAILURE(
                        ExpectModel(text, std::u16string_view(all).substr(nFront)))
                        << "step " << nStep << " round " << nRound << " bounded " << bBounded;
                }
            }
            EXPECT_GT(text.GetDropped(), kMax);  // the rings went round
            const size_t nSpare = CMirrorRingBytes::SpareBytes();
            text.Clear();
            if (bBounded) {
                EXPECT_GT(CMirrorRingBytes::SpareBytes(), nSpare);  // kept, and taken back next
            }
        }
    }
    CMirrorRingBytes::DropSpares();
    EXPECT_EQ(CMirrorRingBytes::SpareBytes(), 0u);
}

TEST(PaneTextModel, ARingKeptForReuseCountsThePagesItMadeNotItsCapacity) {
    // The window's benchmarks subtract what spare rings hold from the memory a run adds: a large
    // ring that saw 1 MiB of text holds that, far below its capacity, and gives it back to the
    // next ring of its size.
    CMirrorRingBytes::DropSpares();
    constexpr size_t kCap = 64u << 20;
    constexpr size_t kWritten = 1u << 20;
    const std::string block(4096, 'x');
    {
        CMirrorRingBytes ring;
        ASSERT_TRUE(ring.Reserve(kCap, 0, 0));
        for (size_t n = 0; n < kWritten; n += block.size()) {
            ring.Write(n, block.data(), block.size());
        }
    }
    const size_t nSpare = CMirrorRingBytes::SpareBytes();
    EXPECT_GE(nSpare, kWritten);
    EXPECT_LE(nSpare, 2 * kWritten);
    CMirrorRingBytes again;
    ASSERT_TRUE(again.Reserve(kCap, 0, 0));
    EXPECT_EQ(CMirrorRingBytes::SpareBytes(), 0u);
    EXPECT_EQ(std::string(again.At(kWritten - block.size()), block.size()), block);
}

namespace {

// The memory files of the process's rings: descriptor and bytes allocated, from /proc/self/fd.
std::vector<std::pair<int, size_t>> RingFiles() {
    std::vector<std::pair<int, size_t>> files;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        struct stat st {};
        const int fd = std::atoi(entry.path().filename().c_str());
        if (!error && target.find("memfd:vexil-ring") != std::string::npos && fstat(fd, &st) == 0) {
            files.emplace_back(fd, static_cast<size_t>(st.st_blocks) * 512);
        }
    }
    return files;
}

}  // namespace

TEST(PaneTextModel, ALargeRingWritesItsFileAndKeepsEveryByte) {
    // A ring's first pass makes the pages of its memory file as its writes reach them, none
    // ahead. The bytes go round the ring twice, taken back from the spares in between, and read
    // back whole across the wrap; once the rings are given up, none of the descriptors of their
    // memory files is left open.
    CMirrorRingBytes::DropSpares();
    constexpr size_t kCap = 16u << 20;
    const auto Byte = [](uint64_t n) { return static_cast<char>((n * 7 + n / 4093) & 0xFF); };
    std::string block(64 * 1024, 0);
    constexpr uint64_t kStart = 1000;  // a block in each round runs across the wrap
    uint64_t nEnd = kStart;
    for (int nRound = 0; nRound < 2; ++nRound) {
        CMirrorRingBytes ring;
        ASSERT_TRUE(ring.Reserve(kCap, 0, 0));
        for (const uint64_t nStop = nEnd + kCap; nEnd < nStop; nEnd += block.size()) {
            for (size_t i = 0; i < block.size(); ++i) {
                block[i] = Byte(nEnd + i);
            }
            // every other block in two writes
            const uint64_t nAt = nEnd + (nEnd / block.size() % 2 == 1 ? 100 : 0);
            if (nAt != nEnd) {
                ring.Write(nEnd, block.data(), 100);
            }
            ring.Write(nAt, block.data() + (nAt - nEnd), block.size() - (nAt - nEnd));
            if (nRound == 0 && nEnd - kStart == (4u << 20)) {
                size_t nMade = 0;
                for (const auto& file : RingFiles()) {
                    nMade = std::max(nMade, file.second);
                }
                EXPECT_GE(nMade, nEnd + block.size());
                EXPECT_LE(nMade, nEnd + block.size() + 4096);
            }
        }
        const char* p = ring.At(nEnd - kCap / 2);  // half a ring back: runs across the wrap
        for (size_t i = 0; i < kCap; i += 4093) {
            ASSERT_EQ(p[i % (kCap / 2)], Byte(nEnd - kCap / 2 + i % (kCap / 2))) << i;
        }
    }
    CMirrorRingBytes::DropSpares();
    EXPECT_TRUE(RingFiles().empty());
}
