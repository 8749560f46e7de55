// Tests of COrvStringT: blocks and their size rule, copy on write, locking, editing, search,
// trimming, allocation failure at every allocation point, and formatting.
#include "orv-string.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "orv-trace.h"
#include "support/orv-test-support.h"

namespace {

// Collects assertion reports for the duration of a test.
class StringTest : public ::testing::Test {
protected:
    // Whether the report was raised since the last call.
    bool Asserted(const char* psz) {
        const bool b = m_reports.CountExpr(psz) > 0;
        m_reports.Clear();
        return b;
    }
    OrvReportCapture m_reports;
};

// Fails the allocation (or reallocation) with number g_failAt, counting from 0.
int g_allocCount = 0;
int g_failAt = -1;
void* FailingAlloc(size_t n) {
    return g_allocCount++ == g_failAt ? nullptr : std::malloc(n);
}
void* FailingRealloc(void* p, size_t n) {
    return g_allocCount++ == g_failAt ? nullptr : std::realloc(p, n);
}

class FailingAllocScope {
public:
    explicit FailingAllocScope(int nFailAt) : m_prev(g_orv_string_alloc) {
        g_allocCount = 0;
        g_failAt = nFailAt;
        g_orv_string_alloc.pfnAlloc = FailingAlloc;
        g_orv_string_alloc.pfnRealloc = FailingRealloc;
    }
    ~FailingAllocScope() { g_orv_string_alloc = m_prev; }

private:
    OrvStringAllocator m_prev;
};

std::string Narrow(const COrvStringA& s) {
    return std::string(s, s.GetLength());
}
std::u16string Wide(const COrvStringW& s) {
    return std::u16string(s, s.GetLength());
}

}  // namespace

TEST_F(StringTest, EmptyBlockIsSharedAndBlocksFollowTheSizeRule) {
    COrvStringA a;
    COrvStringW w;
    EXPECT_EQ(a.GetData(), w.GetData());
    EXPECT_TRUE(a.GetData()->IsNil() && a.GetData()->IsStatic());
    EXPECT_EQ(a.GetData()->m_nAllocLength + a.GetData()->m_nRefs, -2);
    const std::vector<int> narrow = {3, 11, 27, 59, 123, 251, 507, 1019, 2043, 3067, 4091};
    const std::vector<int> wide = {1, 5, 13, 29, 61, 125, 253, 509, 1021, 2045, 3069};
    std::vector<int> seenA, seenW;
    for (int i = 0; i < 4091; ++i) {
        ASSERT_TRUE(a.AppendChar(static_cast<char>('a' + i % 26)));
        ASSERT_TRUE(w.AppendChar(static_cast<char16_t>(0x400 + i % 26)));
        if (seenA.empty() || seenA.back() != a.GetAllocLength())
            seenA.push_back(a.GetAllocLength());
        if (w.GetLength() <= 3069 && (seenW.empty() || seenW.back() != w.GetAllocLength()))
            seenW.push_back(w.GetAllocLength());
    }
    EXPECT_EQ(seenA, narrow);
    EXPECT_EQ(seenW, wide);
    EXPECT_EQ(a[4091] + a[26] + w[27], 'a' + 0x401);
}

TEST_F(StringTest, CopyOnWriteAndLocking) {
    COrvStringA a("hello");
    COrvStringA b = a;
    EXPECT_EQ(a.GetData()->m_nRefs, 2);
    EXPECT_TRUE(b.SetAt(0, 'j'));
    EXPECT_EQ(Narrow(a) + Narrow(b), "hellojello");
    EXPECT_EQ(a.GetData()->m_nRefs, 1);

    // A locked string is never shared: its copies get their own block.
    char* p = a.LockBuffer();
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(a.GetData()->IsLocked());
    COrvStringA c = a;
    p[0] = 'y';
    EXPECT_EQ(Narrow(c) + Narrow(a), "helloyello");
    a.Empty();  // a locked block keeps its buffer
    EXPECT_EQ(a.GetData()->m_nRefs, -1);
    EXPECT_EQ(a.GetLength(), 0);
    COrvStringA d = a;  // locked and empty: the empty block
    EXPECT_TRUE(d.GetData()->IsNil());
    a.UnlockBuffer();
    EXPECT_EQ(a.GetData()->m_nRefs, 1);
}

TEST_F(StringTest, AppendInsertReplaceAndSelfReferences) {
    COrvStringA s("abcdef");
    EXPECT_TRUE(s.Append(static_cast<const char*>(s) + 2, 3));
    s += s;
    EXPECT_TRUE(s.Append("zz", 0));
    EXPECT_EQ(Narrow(s), "abcdefcdeabcdefcde");
    EXPECT_FALSE(s.Append(nullptr, 2));
    EXPECT_TRUE(Asserted("pszSrc!=NULL"));

    COrvStringA t("world");
    EXPECT_EQ(t.Insert(0, "hello "), 11);
    EXPECT_EQ(t.Insert(99, "!"), 12);
    EXPECT_EQ(t.Insert(-5, static_cast<const char*>(t) + 6), 18);  // own text, copied first
    EXPECT_EQ(Narrow(t), "world!hello world!");
    EXPECT_EQ(t.Delete(5, 100), 5);
    EXPECT_EQ(Narrow(t), "world");

    COrvStringA rep('x', 3), neg('x', -1), nul(nullptr, 3);
    EXPECT_TRUE(neg.IsEmpty() && nul.IsEmpty());
    EXPECT_FALSE(rep.SetString(nullptr, 2));
    EXPECT_EQ(Narrow(rep), "xxx");
    EXPECT_EQ(m_reports.Count(), 3u);
    m_reports.Clear();

    // Replace: no overlaps; every NUL-separated segment is searched; a shared block is not
    // changed by the copy's Replace; an empty or null old text replaces nothing.
    const struct {
        std::string in, from;
        const char* to;
        int n;
        std::string out;
    } kReplace[] = {{"aXa", "a", "bb", 2, "bbXbb"},
                    {"bbXbb", "bb", nullptr, 2, "X"},
                    {"aaaa", "aa", "b", 2, "bb"},
                    {std::string("ab\0ab", 5), "b", "xyz", 2, std::string("axyz\0axyz", 9)}};
    for (const auto& c : kReplace) {
        const COrvStringA original(c.in.data(), static_cast<int>(c.in.size()));
        COrvStringA r = original;
        EXPECT_EQ(r.Replace(c.from.c_str(), c.to), c.n) << c.in;
        EXPECT_EQ(Narrow(r), c.out);
        EXPECT_EQ(Narrow(original), c.in);
    }
    EXPECT_EQ(rep.Replace(nullptr, "q"), 0);
    COrvStringA r("hello world");
    EXPECT_TRUE(r.Replace(6, 100, "there") && r.Replace(0, 5, nullptr));
    EXPECT_EQ(Narrow(r), " there");
    EXPECT_FALSE(r.Replace(7, 1, "x"));
    EXPECT_TRUE(Asserted("nStart<=nOldLength"));
    EXPECT_TRUE(r.Replace(0, 6, ""));
    EXPECT_TRUE(r.GetData()->IsNil());
}

TEST_F(StringTest, FindMidTruncateTrimAndCompare) {
    const COrvStringA s("abcde");
    const std::pair<int, int> kFinds[] = {
        {s.Find('c'), 2},        {s.Find('e', 4), 4},           {s.Find("", 6), -1},
        {s.Find("de", 3), 3},    {s.Find("de", 4), -1},         {s.FindOneOf("xed"), 3},
        {s.Compare("abc"), 'd'}, {s.Compare("abd"), 'c' - 'd'}, {s.CompareNoCase("ABCDE"), 0}};
    for (size_t i = 0; i < std::size(kFinds); ++i)
        EXPECT_EQ(kFinds[i].first, kFinds[i].second) << "row " << i;
    EXPECT_EQ(m_reports.Count(), 0u);
    EXPECT_EQ(s.Find('a', -1) + s.FindOneOf(nullptr), -2);
    EXPECT_EQ(s[5] + s[6], 0);
    EXPECT_TRUE(Asserted("(iChar >= 0) && (iChar <= GetLength())"));
    EXPECT_FALSE(COrvStringA(s).SetAt(5, 'x'));
    EXPECT_TRUE(Asserted("iChar >= 0 && iChar < GetLength()"));

    EXPECT_EQ(s.Mid(0, 5).GetData(), s.GetData());  // whole string shares
    EXPECT_EQ(Narrow(s.Mid(-3, 2)) + Narrow(s.Mid(3, 100)) + Narrow(s.Mid(9)), "abde");
    EXPECT_EQ(Narrow(s.Left(2)) + Narrow(s.Right(2)) + Narrow(s.Right(-1)), "abde");

    COrvStringA u = s;
    u.Trim();
    EXPECT_EQ(u.GetData(), s.GetData());  // nothing to trim: untouched
    COrvStringA trimmed("\t abc \xA0\r\n");
    trimmed.Trim();
    EXPECT_EQ(Narrow(trimmed), "abc");
    COrvStringW w(u"\u3000\u2001x y\uFEFF\u200B");
    w.Trim();
    EXPECT_EQ(Wide(w), u"x y");

    // Unsigned units; equality counts embedded NULs through the length.
    EXPECT_GT(COrvStringA("\xC3").Compare("a"), 0);
    EXPECT_TRUE(s == "abcde" && "abcde" == s && s != COrvStringA("abd") && s < COrvStringA("abd"));
    EXPECT_FALSE(COrvStringA("a\0b", 3) == COrvStringA("a\0c", 3));
}

TEST_F(StringTest, ReleasedBufferWithoutNulAndWipedBlocks) {
    // A buffer filled to its capacity without a NUL is measured no further than the capacity.
    COrvStringA s;
    char* p = s.GetBuffer(3);
    ASSERT_NE(p, nullptr);
    const int nCap = s.GetAllocLength();
    std::memset(p, 'x', nCap + 1);
    s.ReleaseBuffer(-1);
    EXPECT_TRUE(Asserted("m_pszData[nNewLength]=='\\0'"));
    EXPECT_EQ(s.GetLength(), nCap);

    // With wiping on, a released block is zeroed: seen through an allocator that does not free.
    static std::vector<void*> s_held;
    OrvStringAllocator prev = g_orv_string_alloc;
    g_orv_string_alloc.pfnFree = [](void* pBlock) { s_held.push_back(pBlock); };
    g_orv_string_wipe = 1;
    {
        COrvStringA secret("secret");
        COrvStringA shared = secret;
    }
    g_orv_string_wipe = 0;
    g_orv_string_alloc = prev;
    ASSERT_EQ(s_held.size(), 1u);
    const char* pChars = static_cast<const char*>(static_cast<COrvStringData*>(s_held[0])->data());
    EXPECT_EQ(std::string(pChars, 6), std::string(6, '\0'));
    std::free(s_held[0]);
}

// Every allocation of an operation sequence fails in turn: each operation that fails reports it
// and leaves the string as it was.
TEST_F(StringTest, AllocationFailureAtEveryPoint) {
    const COrvStringA base("0123456789");
    int nPoints = 0;
    for (int nFail = 0; nFail < 200; ++nFail) {
        COrvStringA s("abc"), shared;
        COrvStringW w(u"wide");
        const std::vector<std::function<bool()>> kSteps = {
            [&] { return s.AppendChar('x'); },
            [&] { return (shared = s, s.SetAt(0, 'Z')); },
            [&] { return s.Append(base); },
            [&] { return (shared = s, s.Replace("x", "yy") > 0); },
            [&] { return s.Format("%s-%d", "fmt", 42); },
            [&] { return s.AppendFormat("%0600d", 7); },
            [&] { return (shared = s, s.Truncate(5)); },
            [&] {
                const int n = s.GetLength();
                return s.Insert(2, "ins") == n + 3;
            },
            [&] { return s.LockBuffer() != nullptr; }};
        bool bAnyFailed = false;
        FailingAllocScope fail(nFail);
        for (size_t i = 0; i < kSteps.size() + 39; ++i) {
            const std::string before = Narrow(s);
            if (!kSteps[i < 40 ? 0 : i - 39]()) {
                bAnyFailed = true;
                EXPECT_EQ(Narrow(s), before) << "failure point " << nFail << " step " << i;
            }
        }
        if (!w.Append(u"more")) {
            bAnyFailed = true;
            EXPECT_EQ(Wide(w), u"wide");
        }
        if (!bAnyFailed) {
            nPoints = nFail;
            EXPECT_EQ(g_allocCount, nFail) << "all allocations passed";
            break;
        }
    }
    EXPECT_GE(nPoints, 8);  // the sequence really allocates at several points
}

TEST_F(StringTest, FormatArgumentsInsideTheStringItself) {
    // An argument that points into the string itself stays valid while it is read.
    COrvStringA self;
    const std::string big(3000, 'q');
    self = big.c_str();
    EXPECT_TRUE(self.AppendFormat("%s!", static_cast<const char*>(self)));
    EXPECT_TRUE(self.Format("%s%s", static_cast<const char*>(self), "x"));
    EXPECT_EQ(Narrow(self), big + big + "!x");
}

// Copies of one block made and dropped on several threads keep the count exact, and a writer
// on one thread never disturbs the readers of the shared block.
TEST(StringThreads, SharedBlockAcrossThreads) {
    const COrvStringA src("shared text");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&src, t] {
            for (int i = 0; i < 20000; ++i) {
                COrvStringA copy = src;
                if (i % 100 == t) {
                    copy.AppendChar('!');
                    EXPECT_EQ(copy.GetLength(), 12);
                }
                EXPECT_EQ(copy.Compare("shared text") == 0, copy.GetLength() == 11);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(src.GetData()->m_nRefs, 1);
    EXPECT_EQ(std::string(src), "shared text");
}
