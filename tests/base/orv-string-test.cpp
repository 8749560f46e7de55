// Tests of COrvStringT: blocks and their size rule, copy on write, locking, editing, search,
// trimming, allocation failure at every allocation point, and formatting.
#include "orv-string.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "orv-trace.h"
#include "support/orv-test-support.h"

namespace {

// Collects assertion texts for the duration of a test.
class StringTest : public ::testing::Test {
protected:
    bool Asserted(const char* psz) const { return m_reports.CountExpr(psz) > 0; }
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

TEST_F(StringTest, EmptyBlockIsSharedByBothWidthsAndNeverAllocates) {
    COrvStringA a;
    COrvStringW w;
    EXPECT_EQ(a.GetData(), w.GetData());
    EXPECT_TRUE(a.GetData()->IsNil());
    EXPECT_TRUE(a.GetData()->IsStatic());
    EXPECT_EQ(a.GetData()->m_nAllocLength, -1);
    EXPECT_EQ(a.GetData()->m_nRefs, -1);
    EXPECT_EQ(w[0], 0);
    {
        FailingAllocScope fail(0);
        COrvStringA b("abc");  // fails: empty
        EXPECT_TRUE(b.IsEmpty());
        COrvStringA c = a;
        c.Empty();
        c = "";
        EXPECT_EQ(g_allocCount, 1);  // only the failed construction asked for memory
    }
    COrvStringA s("x");
    s.Empty();
    EXPECT_TRUE(s.GetData()->IsNil());
}

TEST_F(StringTest, BlockSizeRuleAndGrowthSequence) {
    EXPECT_EQ(OrvStringBlockSize(0, 1), 16);
    EXPECT_EQ(OrvStringBlockSize(4, 1), 24);
    EXPECT_EQ(OrvStringBlockSize(0, 2), 16);
    EXPECT_EQ(OrvStringBlockSize(3, 2), 24);

    const std::vector<int> narrow = {3, 11, 27, 59, 123, 251, 507, 1019, 2043, 3067, 4091};
    const std::vector<int> wide = {1, 5, 13, 29, 61, 125, 253, 509, 1021, 2045, 3069};
    std::vector<int> seenA, seenW;
    COrvStringA a;
    COrvStringW w;
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
    EXPECT_EQ(a.GetLength(), 4091);
    EXPECT_EQ(a[4091], 0);
    EXPECT_EQ(a[26], 'a');
    EXPECT_EQ(w[27], 0x401);
}

TEST_F(StringTest, CopyOnWriteAndLocking) {
    COrvStringA a("hello");
    COrvStringA b = a;
    EXPECT_EQ(a.GetData(), b.GetData());
    EXPECT_EQ(a.GetData()->m_nRefs, 2);
    EXPECT_TRUE(b.SetAt(0, 'j'));
    EXPECT_EQ(Narrow(a), "hello");
    EXPECT_EQ(Narrow(b), "jello");
    EXPECT_NE(a.GetData(), b.GetData());
    EXPECT_EQ(a.GetData()->m_nRefs, 1);

    // A locked string is never shared: its copies get their own block.
    char* p = a.LockBuffer();
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(a.GetData()->IsLocked());
    COrvStringA c = a;
    EXPECT_NE(c.GetData(), a.GetData());
    p[0] = 'y';
    EXPECT_EQ(Narrow(c), "hello");
    EXPECT_EQ(Narrow(a), "yello");
    a.Empty();  // a locked block keeps its buffer
    EXPECT_EQ(a.GetData()->m_nRefs, -1);
    EXPECT_EQ(a.GetLength(), 0);
    COrvStringA d = a;  // locked and empty: the empty block
    EXPECT_TRUE(d.GetData()->IsNil());
    a.UnlockBuffer();
    EXPECT_EQ(a.GetData()->m_nRefs, 1);

    // Moves take the block.
    COrvStringA e("move me");
    COrvStringData* pBlock = e.GetData();
    COrvStringA f(static_cast<COrvStringA&&>(e));
    EXPECT_EQ(f.GetData(), pBlock);
    EXPECT_TRUE(e.IsEmpty());
}

TEST_F(StringTest, AppendInsertAndSelfReferences) {
    COrvStringA s("abcdef");
    EXPECT_TRUE(s.Append(static_cast<const char*>(s) + 2, 3));
    EXPECT_EQ(Narrow(s), "abcdefcde");
    s += s;
    EXPECT_EQ(Narrow(s), "abcdefcdeabcdefcde");
    EXPECT_TRUE(s.Append("zz", 0));
    EXPECT_FALSE(s.Append(nullptr, 2));
    EXPECT_TRUE(Asserted("pszSrc!=NULL"));

    COrvStringA t("world");
    EXPECT_EQ(t.Insert(0, "hello "), 11);
    EXPECT_EQ(t.Insert(99, "!"), 12);
    EXPECT_EQ(t.Insert(-5, static_cast<const char*>(t) + 6), 18);  // own text, copied first
    EXPECT_EQ(Narrow(t), "world!hello world!");
    EXPECT_EQ(t.Insert(3, ""), 18);
    EXPECT_EQ(t.Delete(5, 100), 5);
    EXPECT_EQ(Narrow(t), "world");

    COrvStringW w(u"ab");
    w += u'c';
    w += COrvStringW(u"de");
    EXPECT_EQ(Wide(w), u"abcde");
    EXPECT_EQ(Wide(u"<" + w + u'>'), u"<abcde>");

    COrvStringA rep('x', 3);
    EXPECT_EQ(Narrow(rep), "xxx");
    COrvStringA neg('x', -1);
    EXPECT_TRUE(neg.IsEmpty());
    EXPECT_TRUE(Asserted("nLength >= 0"));
    COrvStringA nul(nullptr, 3);
    EXPECT_TRUE(nul.IsEmpty());
    EXPECT_TRUE(Asserted("pch!=NULL"));
    EXPECT_FALSE(rep.SetString(nullptr, 2));
    EXPECT_TRUE(Asserted("nLength==0 || (pch!=NULL && nLength>=0)"));
    EXPECT_EQ(Narrow(rep), "xxx");
}

TEST_F(StringTest, ReplaceForms) {
    COrvStringA s("aXa");
    EXPECT_EQ(s.Replace("a", "bb"), 2);
    EXPECT_EQ(Narrow(s), "bbXbb");
    EXPECT_EQ(s.Replace("", "q"), 0);
    EXPECT_EQ(s.Replace(nullptr, "q"), 0);
    EXPECT_EQ(Narrow(s), "bbXbb");
    EXPECT_EQ(s.Replace("bb", nullptr), 2);
    EXPECT_EQ(Narrow(s), "X");
    COrvStringA o("aaaa");
    EXPECT_EQ(o.Replace("aa", "b"), 2);  // no overlap
    EXPECT_EQ(Narrow(o), "bb");

    // Every NUL-separated segment is searched.
    COrvStringA seg("ab\0ab", 5);
    EXPECT_EQ(seg.Replace("b", "xyz"), 2);
    EXPECT_EQ(std::string(seg, seg.GetLength()), std::string("axyz\0axyz", 9));

    // A shared block is not changed by the copy's Replace.
    COrvStringA a("one two one");
    COrvStringA b = a;
    EXPECT_EQ(b.Replace("one", "1"), 2);
    EXPECT_EQ(Narrow(a), "one two one");
    EXPECT_EQ(Narrow(b), "1 two 1");

    COrvStringW w(u"a-b-c");
    EXPECT_EQ(w.Replace(u'-', u'+'), 2);
    EXPECT_EQ(w.Replace(u'+', u'+'), 0);
    EXPECT_EQ(Wide(w), u"a+b+c");

    COrvStringA r("hello world");
    EXPECT_TRUE(r.Replace(6, 100, "there"));
    EXPECT_EQ(Narrow(r), "hello there");
    EXPECT_TRUE(r.Replace(0, 5, nullptr));
    EXPECT_EQ(Narrow(r), " there");
    EXPECT_FALSE(r.Replace(7, 1, "x"));
    EXPECT_TRUE(Asserted("nStart<=nOldLength"));
    EXPECT_TRUE(r.Replace(0, 6, ""));
    EXPECT_TRUE(r.GetData()->IsNil());
}

TEST_F(StringTest, FindMidTruncateAndTrim) {
    COrvStringA s("abcde");
    EXPECT_EQ(s.Find('c'), 2);
    EXPECT_EQ(s.Find('e', 4), 4);
    EXPECT_EQ(s.Find('a', 5), -1);
    EXPECT_EQ(s.Find("", 5), 5);
    EXPECT_EQ(s.Find("", 6), -1);
    EXPECT_EQ(s.Find("de", 3), 3);
    EXPECT_EQ(s.Find("de", 4), -1);
    EXPECT_EQ(s.Find(static_cast<const char*>(nullptr)), -1);
    EXPECT_EQ(s.Find('a', -1), -1);
    EXPECT_TRUE(Asserted("iStart >= 0"));
    EXPECT_EQ(s.ReverseFind('a'), 0);
    EXPECT_EQ(s.FindOneOf("xed"), 3);
    EXPECT_EQ(s.FindOneOf(nullptr), -1);
    EXPECT_TRUE(Asserted("pszCharSet!=NULL"));
    EXPECT_EQ(s[5], 0);
    EXPECT_EQ(s[6], 0);
    EXPECT_TRUE(Asserted("(iChar >= 0) && (iChar <= GetLength())"));
    EXPECT_FALSE(s.SetAt(5, 'x'));
    EXPECT_TRUE(Asserted("iChar >= 0 && iChar < GetLength()"));

    EXPECT_EQ(s.Mid(0, 5).GetData(), s.GetData());  // whole string shares
    EXPECT_EQ(Narrow(s.Mid(-3, 2)), "ab");
    EXPECT_EQ(Narrow(s.Mid(3, 100)), "de");
    EXPECT_TRUE(s.Mid(9).IsEmpty());
    EXPECT_EQ(Narrow(s.Left(2)), "ab");
    EXPECT_EQ(Narrow(s.Right(2)), "de");
    EXPECT_EQ(Narrow(s.Right(-1)), "");

    COrvStringA t = s;
    EXPECT_TRUE(t.Truncate(2));
    EXPECT_EQ(Narrow(t), "ab");
    EXPECT_EQ(Narrow(s), "abcde");
    EXPECT_TRUE(t.Truncate(9));
    EXPECT_TRUE(t.Truncate(0));
    EXPECT_TRUE(t.GetData()->IsNil());
    EXPECT_FALSE(t.Truncate(-1));
    EXPECT_TRUE(Asserted("!pData->IsNil()"));

    COrvStringA trimmed("\t abc \xA0\r\n");
    COrvStringData* pBefore = s.GetData();
    s.Trim();
    EXPECT_EQ(s.GetData(), pBefore);  // nothing to trim: untouched
    trimmed.Trim();
    EXPECT_EQ(Narrow(trimmed), "abc");
    COrvStringW w(u"\u3000\u2001x y\uFEFF\u200B");
    w.TrimLeft();
    EXPECT_EQ(Wide(w), u"x y\uFEFF\u200B");
    w.TrimRight();
    EXPECT_EQ(Wide(w), u"x y");
    COrvStringA dots("..a..");
    dots.TrimRight('.');
    EXPECT_EQ(Narrow(dots), "..a");
    dots.TrimLeft('.');
    EXPECT_EQ(Narrow(dots), "a");

    COrvStringA mixed("Hello, Wörld");
    mixed.MakeUpper();
    EXPECT_EQ(Narrow(mixed), "HELLO, WöRLD");
    mixed.MakeLower();
    EXPECT_EQ(Narrow(mixed), "hello, wörld");
}

TEST_F(StringTest, CompareAndOperators) {
    COrvStringA a("abc");
    EXPECT_EQ(a.Compare("abc"), 0);
    EXPECT_EQ(a.Compare("abd"), 'c' - 'd');
    EXPECT_EQ(a.Compare("ab"), 'c');
    EXPECT_GT(COrvStringA("\xC3").Compare("a"), 0);  // unsigned units
    EXPECT_EQ(a.CompareNoCase("ABC"), 0);
    EXPECT_TRUE(a == "abc");
    EXPECT_TRUE("abc" == a);
    EXPECT_TRUE(a != COrvStringA("abd"));
    EXPECT_TRUE(a < COrvStringA("abd"));
    COrvStringW w1(u"\xFFFF");
    COrvStringW w2(u"a");
    EXPECT_TRUE(w2 < w1);
    // Equality counts embedded NULs through the length.
    EXPECT_FALSE(COrvStringA("a\0b", 3) == COrvStringA("a\0c", 3));
}

TEST_F(StringTest, BufferAccess) {
    COrvStringA s;
    char* p = s.GetBuffer(100);
    ASSERT_NE(p, nullptr);
    EXPECT_GE(s.GetAllocLength(), 100);
    std::strcpy(p, "short");
    s.ReleaseBuffer();
    EXPECT_EQ(Narrow(s), "short");
    EXPECT_EQ(s.GetAllocLength(), 11);  // shrunk to the block for 5 characters

    p = s.GetBufferSetLength(3);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Narrow(s), "sho");
    s.ReleaseBuffer(0);
    EXPECT_TRUE(s.GetData()->IsNil());

    p = s.GetBuffer(3);
    std::memset(p, 'x', s.GetAllocLength() + 1);  // no NUL within the capacity
    s.ReleaseBuffer(-1);
    EXPECT_TRUE(Asserted("m_pszData[nNewLength]=='\\0'"));
    EXPECT_EQ(s.GetLength(), s.GetAllocLength());
}

TEST_F(StringTest, WipeZeroesReleasedBlocks) {
    // Observe the freed block's bytes through an allocator that does not free.
    static std::vector<void*> s_held;
    OrvStringAllocator prev = g_orv_string_alloc;
    g_orv_string_alloc.pfnFree = [](void* p) { s_held.push_back(p); };
    g_orv_string_wipe = 1;
    {
        COrvStringA s("secret");
        COrvStringA shared = s;
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
    COrvStringA base("0123456789");
    int nPoints = 0;
    for (int nFail = 0; nFail < 200; ++nFail) {
        COrvStringA s("abc");
        COrvStringA shared;
        COrvStringW w(u"wide");
        bool bAnyFailed = false;
        {
            FailingAllocScope fail(nFail);
            auto check = [&](bool bOk, const std::string& before, const COrvStringA& now) {
                if (!bOk) {
                    bAnyFailed = true;
                    EXPECT_EQ(Narrow(now), before) << "failure point " << nFail;
                }
            };
            std::string before = Narrow(s);
            for (int i = 0; i < 40; ++i) {
                before = Narrow(s);
                check(s.AppendChar('x'), before, s);
            }
            shared = s;
            before = Narrow(s);
            check(s.SetAt(0, 'Z'), before, s);
            before = Narrow(s);
            check(s.Append(base), before, s);
            shared = s;
            before = Narrow(s);
            check(s.Replace("x", "yy") > 0, before, s);
            before = Narrow(s);
            check(s.Format("%s-%d", "fmt", 42), before, s);
            before = Narrow(s);
            check(s.AppendFormat("%0600d", 7), before, s);
            shared = s;
            before = Narrow(s);
            check(s.Truncate(5), before, s);
            before = Narrow(s);
            check(s.Insert(2, "ins") == static_cast<int>(before.size()) + 3, before, s);
            before = Narrow(s);
            check(s.LockBuffer() != nullptr, before, s);
            const std::u16string wb = Wide(w);
            if (!w.Append(u"more")) {
                bAnyFailed = true;
                EXPECT_EQ(Wide(w), wb);
            }
        }
        if (!bAnyFailed) {
            nPoints = nFail;
            EXPECT_EQ(g_allocCount, nFail) << "all allocations passed";
            break;
        }
    }
    EXPECT_GE(nPoints, 8);  // the sequence really allocates at several points
}

TEST_F(StringTest, FormatAndAppendFormat) {
    COrvStringA s("old");
    EXPECT_TRUE(s.Format("%s", ""));
    EXPECT_TRUE(s.GetData()->IsNil());
    s = "keep";
    EXPECT_TRUE(s.AppendFormat("%s", ""));
    EXPECT_EQ(Narrow(s), "keep");
    EXPECT_TRUE(s.AppendFormat("-%d-%s", 12, "x"));
    EXPECT_EQ(Narrow(s), "keep-12-x");
    EXPECT_FALSE(s.Format("%n", nullptr));
    EXPECT_TRUE(Asserted("nLength>=0"));
    EXPECT_EQ(Narrow(s), "keep-12-x");
    EXPECT_FALSE(s.AppendFormat("%a", 1.0));
    EXPECT_TRUE(Asserted("nAppendLength>=0"));
    EXPECT_FALSE(s.Format(nullptr));
    EXPECT_TRUE(Asserted("pszFormat!=NULL"));

    // An argument that points into the string itself stays valid while it is read.
    COrvStringA self("abc");
    EXPECT_TRUE(self.AppendFormat("[%s]", static_cast<const char*>(self)));
    EXPECT_EQ(Narrow(self), "abc[abc]");
    const std::string big(3000, 'q');
    self = big.c_str();
    EXPECT_TRUE(self.AppendFormat("%s!", static_cast<const char*>(self)));
    EXPECT_EQ(Narrow(self), big + big + "!");
    EXPECT_TRUE(self.Format("%s%s", static_cast<const char*>(self), "x"));
    EXPECT_EQ(Narrow(self), big + big + "!x");

    COrvStringW w;
    EXPECT_TRUE(w.Format(u"%s=%d %S", u"key", -5, "narrow"));
    EXPECT_EQ(Wide(w), u"key=-5 narrow");
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
