// Owning buffers: when COrvTempBuffer moves between its inline array and the heap, and how
// COrvHeapPtr keeps its array across failures.
#include "orv-buffers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <utility>

#include "support/orv-coll-test-util.h"

namespace {

using BuffersTest = OrvAllocTest;
using TTemp = COrvTempBuffer<char16_t, OrvTestAlloc>;

TEST_F(BuffersTest, TempBufferFailuresGiveNullAndLeaveAUsableBuffer) {
    TTemp b;
    ASSERT_NE(b.Reallocate(4096), nullptr);
    OrvTestAlloc::Reset(1);
    EXPECT_EQ(b.Reallocate(8192), nullptr);
    EXPECT_EQ(m_reports.CountAtl(ORV_ATL_E_OUTOFMEMORY), 1u);
    EXPECT_TRUE(b.IsInline());  // the old heap buffer is gone, the inline one is left
    EXPECT_EQ(b.GetAvailable(), 1024u);
    EXPECT_EQ(OrvTestAlloc::s_nLive, m_nLiveAtStart);

    // A count whose byte size overflows is refused before any allocation.
    OrvTestAlloc::Reset();
    EXPECT_EQ(b.Reallocate(SIZE_MAX / 2), nullptr);
    EXPECT_EQ(m_reports.CountExpr("nElements < (SIZE_MAX / sizeof(T))"), 1u);
    EXPECT_EQ(OrvTestAlloc::s_nCalls, 0);
    EXPECT_EQ(b.GetAvailable(), 1024u);
}

TEST_F(BuffersTest, HeapPtrKeepsItsArrayWhenGrowingFails) {
    using P = COrvHeapPtr<uint32_t, OrvTestAlloc>;
    P p;
    ASSERT_TRUE(p.Allocate(4));
    for (uint32_t i = 0; i < 4; ++i)
        p[i] = i * 7;
    EXPECT_FALSE(p.Allocate(8));  // already owns an array: refused, array kept
    EXPECT_EQ(m_reports.CountExpr("m_p == NULL"), 1u);

    uint32_t* pBefore = p.Get();
    OrvTestAlloc::Reset(1);
    EXPECT_FALSE(p.Reallocate(1000));
    EXPECT_EQ(p.Get(), pBefore);
    EXPECT_FALSE(p.Reallocate(SIZE_MAX / 2));  // byte size overflows
    ASSERT_TRUE(p.Reallocate(1000));
    EXPECT_EQ(p[3], 21u);

    // A moved array is freed once, by its new owner (the fixture counts the blocks).
    P s;
    ASSERT_TRUE(s.Allocate(1));
    s = std::move(p);
    EXPECT_EQ(s[1], 7u);
}

}  // namespace
