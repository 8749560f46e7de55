#include "output-pane.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QResizeEvent>
#include <QScrollBar>
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int kTabColumns = 8;
// Refresh period while text changes: layout and repaint are coalesced into one per tick, so that a
// flood of small insertions costs one paint per tick and not one per insertion.
constexpr int kRefreshMs = 16;
constexpr int kMarginPx = 2;
// Characters counted left of the view, beyond which a paint remembers where it stopped.
constexpr int kSkipRemembered = 4096;

bool IsHigh(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLow(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// Characters drawn as one run: printable ASCII and Latin-1, whose glyphs share the font's pitch.
bool IsRunChar(char16_t c) {
    return (c >= 0x20 && c < 0x7F) || (c >= 0xA0 && c <= 0x17F);
}

}  // namespace

// ---- COutputText ----------------------------------------------------------------------------

int COutputText::CharColumns(char32_t c) {
    if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {
        return 0;
    }
    if ((c >= 0x300 && c < 0x370) || (c >= 0x200B && c <= 0x200F)) {
        return 0;  // combining marks and zero-width characters
    }
    if ((c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF && c != 0x303F) ||
        (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
        (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
        (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
        (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD)) {
        return 2;
    }
    return 1;
}

namespace {

// Whether the four units at p are all printable ASCII (one column each), tested on one word.
bool FourPrintable(const char16_t* p) {
    constexpr uint64_t kLanes = 0x0001000100010001ULL;
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    // every lane below 0x80, at least 0x20 (adding 0x60 reaches bit 7) and not 0x7F (adding 1
    // does not)
    return (w & (kLanes * 0xFF80)) == 0 &&
           ((w + kLanes * 0x60) & (kLanes * 0x80)) == kLanes * 0x80 &&
           ((w + kLanes) & (kLanes * 0x80)) == 0;
}

// The units of a block of 16 by kind: bit k of each mask stands for p[k].
struct CBlockKinds {
    uint32_t nOther;  // not printable ASCII (0x20 to 0x7E)
    uint32_t nCr;
    uint32_t nLf;
};

// The same for the first n units (at most 16) of p, one at a time.
CBlockKinds ClassifyN(const char16_t* p, int n) {
    CBlockKinds kinds{0, 0, 0};
    for (int k = 0; k < n; ++k) {
        kinds.nOther |= static_cast<uint32_t>(p[k] < 0x20 || p[k] >= 0x7F) << k;
        kinds.nCr |= static_cast<uint32_t>(p[k] == u'\r') << k;
        kinds.nLf |= static_cast<uint32_t>(p[k] == u'\n') << k;
    }
    return kinds;
}

[[gnu::always_inline]] inline CBlockKinds Classify16(const char16_t* p) {
#if defined(__SSE2__)
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8));
    // shifted by 0x8000 - 0x20, exactly the printable units become the smallest signed values
    const __m128i shift = _mm_set1_epi16(static_cast<short>(0x8000 - 0x20));
    const __m128i bound = _mm_set1_epi16(static_cast<short>(0x8000 + 0x7F - 0x20));
    const auto Mask = [](__m128i a, __m128i b) {
        return static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(a, b)));
    };
    const __m128i cr = _mm_set1_epi16(0x0D);
    const __m128i lf = _mm_set1_epi16(0x0A);
    CBlockKinds kinds;
    kinds.nOther = ~Mask(_mm_cmplt_epi16(_mm_add_epi16(lo, shift), bound),
                         _mm_cmplt_epi16(_mm_add_epi16(hi, shift), bound)) &
                   0xFFFFu;
    kinds.nCr = Mask(_mm_cmpeq_epi16(lo, cr), _mm_cmpeq_epi16(hi, cr));
    kinds.nLf = Mask(_mm_cmpeq_epi16(lo, lf), _mm_cmpeq_epi16(hi, lf));
    return kinds;
#else
    return ClassifyN(p, 16);
#endif
}

// Bits set in a 16-bit mask, without relying on a population-count instruction.
[[gnu::always_inline]] inline int Count16(uint32_t n) {
    n = n - ((n >> 1) & 0x5555u);
    n = (n & 0x3333u) + ((n >> 2) & 0x3333u);
    n = (n + (n >> 4)) & 0x0F0Fu;
    return static_cast<int>((n + (n >> 8)) & 0x1Fu);
}

// The columns of one unit that is not printable ASCII at p[i] (a pair counts at its first half,
// which then also consumes the second); returns the new column and advances i past the unit.
int64_t AdvanceOther(const char16_t* p, int n, int& i, int64_t nCol) {
    const char16_t c = p[i];
    if (c == u'\t') {
        nCol += kTabColumns - nCol % kTabColumns;
    } else if (IsHigh(c) && i + 1 < n && IsLow(p[i + 1])) {
        nCol += COutputText::CharColumns(0x10000 + ((char32_t(c) - 0xD800) << 10) +
                                         (p[i + 1] - 0xDC00));
        ++i;
    } else if (!IsLow(c)) {
        // (the second half of a pair split between two appends: its first half counted)
        nCol += COutputText::CharColumns(c);
    }
    ++i;
    return nCol;
}

}  // namespace

int64_t COutputText::AdvanceColumns(const char16_t* p, int n, int64_t nCol) {
    int i = 0;
    while (i < n) {
        if (i + 16 <= n) {
            const uint32_t nOther = Classify16(p + i).nOther;
            const int nRun = nOther == 0 ? 16 : std::countr_zero(nOther);
            nCol += nRun;
            i += nRun;
            if (nRun == 16) {
                continue;
            }
            nCol = AdvanceOther(p, n, i, nCol);
        } else if (i + 4 <= n && FourPrintable(p + i)) {
            nCol += 4;
            i += 4;
        } else if (p[i] >= 0x20 && p[i] < 0x7F) {
            ++nCol;
            ++i;
        } else {
            nCol = AdvanceOther(p, n, i, nCol);
        }
    }
    return nCol;
}

int COutputText::LineFromChar(int nChar) const {
    nChar = std::clamp(nChar, 0, GetLength());
    const int nLines = GetLineCount();
    if (nChar >= LineOffset(nLines - 1)) {
        return nLines - 1;  // the last line, where streamed output goes
    }
    // the last line start that is <= nChar; offsets from the first live character increase
    const uint32_t* pFirst = m_lineRing.At(m_nLineBase);
    const uint32_t nBase = static_cast<uint32_t>(m_nBase);
    const uint32_t* it = std::upper_bound(
        pFirst, pFirst + nLines, static_cast<uint32_t>(nChar),
        [nBase](uint32_t nValue, uint32_t nStart) { return nValue < nStart - nBase; });
    return static_cast<int>(it - pFirst) - 1;
}

int COutputText::LineIndex(int nLine) const {
    return LineOffset(std::clamp(nLine, 0, GetLineCount() - 1));
}

int COutputText::LineLength(int nLine) const {
    nLine = std::clamp(nLine, 0, GetLineCount() - 1);
    const int nStart = LineIndex(nLine);
    int nEnd = GetLength();
    if (nLine + 1 < GetLineCount()) {
        nEnd = LineIndex(nLine + 1) - 2;  // the CR LF
    }
    return nEnd - nStart;
}

void COutputText::Append(const char16_t* p, int n) {
    if (n <= 0 || !ReserveFor(n)) {
        return;
    }
    // a CR at the end of the text pairs with an LF at the start of the appended text
    bool bCr = m_nEnd > m_nBase && *m_ring.At(m_nEnd - 1) == u'\r';
    m_ring.Write(m_nEnd, p, static_cast<size_t>(n));
    // One pass finds the line ends and counts the columns; a CR has none, so a line's width is
    // the column reached at its LF. Printable ASCII is skipped 16 units at a time; the units
    // between are taken one by one from the mask of the others.
    CLineSink lines(*this);
    int64_t nCol = m_nLastCols;
    int i = 0;
    while (i < n) {
        // blocks of 16; the last one may be shorter
        const int nBlock = std::min(16, n - i);
        const CBlockKinds kinds = nBlock == 16 ? Classify16(p + i) : ClassifyN(p + i, nBlock);
        const uint32_t nAll = (1u << nBlock) - 1;
        if ((kinds.nOther & ~(kinds.nCr | kinds.nLf)) == 0) {
            // printable ASCII, CRs and LFs only, as most output is: the line ends are the LFs
            // after a CR, and a line's columns are the printable units before its end
            uint32_t nEnds = kinds.nLf & ((kinds.nCr << 1) | (bCr ? 1u : 0u));
            uint32_t nPrintable = ~kinds.nOther & nAll;
            while (nEnds != 0) {
                const int k = std::countr_zero(nEnds);
                const uint32_t nBefore = (1u << k) - 1;
                nCol += Count16(nPrintable & nBefore);
                nPrintable &= ~nBefore;
                lines.End(m_nEnd + static_cast<uint64_t>(i + k) + 1, nCol);
                nCol = 0;
                nEnds &= nEnds - 1;
            }
            nCol += Count16(nPrintable);
            bCr = ((kinds.nCr >> (nBlock - 1)) & 1) != 0;
            i += nBlock;
            continue;
        }
        uint32_t nOther = kinds.nOther;
        int nDone = 0;  // units of the block handled
        while (nOther != 0) {
            const int k = std::countr_zero(nOther);
            if (k > nDone) {
                nCol += k - nDone;
                bCr = false;
            }
            const char16_t c = p[i + k];
            if (c == u'\r') {
                bCr = true;
            } else if (c == u'\n') {
                if (bCr) {
                    lines.End(m_nEnd + static_cast<uint64_t>(i + k) + 1, nCol);
                    nCol = 0;
                }
                bCr = false;
            } else {
                // a tab, a control character or more than ASCII: may take the next unit too
                int j = i + k;
                bCr = false;
                nCol = AdvanceOther(p, n, j, nCol);
                nDone = j - i;
                break;
            }
            nDone = k + 1;
            nOther &= nOther - 1;
        }
        if (nOther == 0 && nDone < nBlock) {
            nCol += nBlock - nDone;
            bCr = false;
            nDone = nBlock;
        }
        i += nDone;
    }
    lines.Flush();
    m_nLastCols = nCol;
    m_nEnd += static_cast<uint64_t>(n);
}

COutputText::CLineSink::CLineSink(COutputText& text)
    : m_text(text),
      m_nNextLine(text.m_nLinesDropped + text.GetLineCount() - 1),
      m_pBack(text.m_widest.empty() ? nullptr : &text.m_widest.back()) {}

void COutputText::CLineSink::Flush() {
    m_text.m_lineRing.Write(m_text.m_nLineEnd, m_starts, m_nStarts);
    m_text.m_nLineEnd += m_nStarts;
    m_nStarts = 0;
}

void COutputText::CLineSink::Widest(int64_t nCols) {
    // a narrower or equal earlier line can never be the widest again
    std::deque<CLineWidth>& widest = m_text.m_widest;
    const int64_t nLine = m_nNextLine - 1;
    if (widest.empty() || widest.back().nCols > nCols) {
        widest.push_back({nLine, nCols});
    } else {
        // the last entry gives way: it takes the new line's place instead of a pop and a push
        auto last = std::prev(widest.end());
        while (last != widest.begin() && std::prev(last)->nCols <= nCols) {
            widest.pop_back();
            last = std::prev(widest.end());
        }
        *last = {nLine, nCols};
    }
    m_pBack = &widest.back();
}

int64_t COutputText::GetMaxColumns() const {
    // The first line may have lost its beginning: its remaining characters start at column 0
    // now, which moves its tabs by less than one tab stop.
    const int64_t nFirstLost = m_nFirstDropCols - m_nFirstDropCols % kTabColumns;
    if (GetLineCount() == 1) {
        return std::max<int64_t>(0, m_nLastCols - nFirstLost);
    }
    int64_t nMax = m_nLastCols;
    if (!m_widest.empty()) {
        const CLineWidth& front = m_widest.front();
        if (front.nLine == m_nLinesDropped) {
            // the first line is the widest: it counts without its lost part, and the widest of
            // the others is the next entry
            nMax = std::max(nMax, front.nCols - nFirstLost);
            if (m_widest.size() > 1) {
                nMax = std::max(nMax, m_widest[1].nCols);
            }
        } else {
            // a later line is wider than the whole first line
            nMax = std::max(nMax, front.nCols);
        }
    }
    return nMax;
}

size_t COutputText::GrowTo(size_t nCap, size_t nNeeded, size_t nBound) const {
    // With a bound, the ring takes all of it at once: a ring reserves address space only, its
    // pages are made as the text reaches them, so a small text costs no more, and a flood is
    // never copied to a larger ring. Without one, doubling, as a vector grows.
    if (m_nExpectedMax > 0 && nNeeded <= nBound) {
        return nBound;
    }
    return std::max<size_t>({nNeeded, 2 * nCap, 4096});
}

bool COutputText::ReserveFor(int n) {
    // the bound: the expected maximum, one insertion of room beyond it
    const size_t nRoom = m_nExpectedMax + m_nExpectedMax / 64 + 64 * 1024;
    const size_t nText = static_cast<size_t>(GetLength()) + static_cast<size_t>(n);
    if (nText > m_ring.Capacity() && !m_ring.Reserve(GrowTo(m_ring.Capacity(), nText, nRoom),
                                                     m_nBase, static_cast<size_t>(GetLength()))) {
        return false;
    }
    // every line but the last ends with a CR LF: at most half the characters start a line
    const size_t nLines = static_cast<size_t>(GetLineCount()) + static_cast<size_t>(n) / 2 + 1;
    if (nLines > m_lineRing.Capacity()) {
        const bool bFirst = m_lineRing.Capacity() == 0;
        if (!m_lineRing.Reserve(GrowTo(m_lineRing.Capacity(), nLines, nRoom / 2 + 2), m_nLineBase,
                                static_cast<size_t>(GetLineCount()))) {
            return false;
        }
        if (bFirst) {
            m_lineRing.Set(m_nLineBase, static_cast<uint32_t>(m_nBase));  // the first line
        }
    }
    return true;
}

void COutputText::Replace(int nStart, int nEnd, const char16_t* p, int n) {
    const int nLen = GetLength();
    nStart = std::clamp(nStart, 0, nLen);
    nEnd = std::clamp(nEnd, 0, nLen);
    if (nStart > nEnd) {
        std::swap(nStart, nEnd);
    }
    n = std::max(n, 0);
    if (nStart == nLen) {
        Append(p, n);
        return;
    }
    if (nStart == 0 && n == 0) {
        EraseFront(nEnd);
        return;
    }
    // a change inside the text: the whole text is laid down again
    std::vector<char16_t> text;
    text.reserve(static_cast<size_t>(nLen - (nEnd - nStart) + n));
    text.insert(text.end(), Data(), Data(nStart));
    text.insert(text.end(), p, p + n);
    text.insert(text.end(), Data(nEnd), Data(nLen));
    Clear();
    Append(text.data(), static_cast<int>(text.size()));
}

void COutputText::EraseFront(int n) {
    n = std::clamp(n, 0, GetLength());
    if (n == 0) {
        return;
    }
    if (n == GetLength()) {
        Clear();
        return;
    }
    const uint64_t nOldBase = m_nBase;
    const uint64_t nOldLineBase = m_nLineBase;
    m_nBase += static_cast<uint64_t>(n);
    m_nDropped += n;
    // Lines that started inside the removed text are gone; the line that holds the new first
    // character now starts at it. Offsets from the old first character increase.
    const uint32_t* pFirst = m_lineRing.At(m_nLineBase);
    const uint32_t nOld = static_cast<uint32_t>(nOldBase);
    auto before = [nOld](uint32_t nValue, uint32_t nStart) { return nValue < nStart - nOld; };
    // The new first line is near the front: the search gallops from there, so that it touches a
    // few neighbouring entries instead of the whole table's worth of cache lines.
    const size_t nCount = static_cast<size_t>(GetLineCount());
    size_t nHigh = 1;
    while (nHigh < nCount && !before(static_cast<uint32_t>(n), pFirst[nHigh])) {
        nHigh *= 2;
    }
    const uint32_t* it = std::upper_bound(pFirst + nHigh / 2, pFirst + std::min(nHigh, nCount),
                                          static_cast<uint32_t>(n), before);
    m_nLineBase = nOldLineBase + static_cast<uint64_t>(it - pFirst) - 1;
    // the columns of what the new first line lost: measured over the removed characters only
    const uint64_t nLineStart = nOldBase + (LineStart(m_nLineBase) - nOld);
    if (m_nLineBase == nOldLineBase) {
        m_nFirstDropCols = AdvanceColumns(m_ring.At(nOldBase), n, m_nFirstDropCols);
    } else {
        m_nFirstDropCols =
            AdvanceColumns(m_ring.At(nLineStart), static_cast<int>(m_nBase - nLineStart), 0);
    }
    m_lineRing.Set(m_nLineBase, static_cast<uint32_t>(m_nBase));
    if (*m_ring.At(m_nBase) == u'\n' && m_nLineBase + 1 < m_nLineEnd &&
        LineStart(m_nLineBase + 1) == static_cast<uint32_t>(m_nBase + 1)) {
        // the CR of a line end was removed: the LF left at the front no longer ends a line, and
        // the next line, now the first, has lost nothing but an LF of no width
        ++m_nLineBase;
        m_lineRing.Set(m_nLineBase, static_cast<uint32_t>(m_nBase));
        m_nFirstDropCols = 0;
    }
    m_nLinesDropped += static_cast<int64_t>(m_nLineBase - nOldLineBase);
    while (!m_widest.empty() && m_widest.front().nLine < m_nLinesDropped) {
        m_widest.pop_front();
    }
}

void COutputText::Clear() {
    m_ring.Release();
    m_lineRing.Release();
    m_nBase = m_nEnd = 0;
    m_nLineBase = 0;
    m_nLineEnd = 1;
    m_nLastCols = 0;
    m_widest.clear();
    m_nLinesDropped = 0;
    m_nFirstDropCols = 0;
    m_nDropped = 0;
    ++m_nGeneration;
}

// ---- CQtPaneHost ----------------------------------------------------------------------------

namespace {

// The event that makes the pane drain its host's queue.
const QEvent::Type kDrainEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

class CDrainEvent : public QEvent {
public:
    explicit CDrainEvent(std::shared_ptr<CQtPaneHost> pHost)
        : QEvent(kDrainEvent), m_pHost(std::move(pHost)) {}
    std::shared_ptr<CQtPaneHost> m_pHost;  // keeps the host alive while the event waits
};

// One drain runs queued items for at most this long before the event loop gets its turn again.
constexpr auto kDrainSlice = std::chrono::milliseconds(8);
// While output streams in, the pane takes what waits in the stage this often.
constexpr int kOutputPollMs = 1;

// Characters of a text given as pointer and length: none for a null pointer, up to the
// terminating zero for a negative length.
int TextLength(const char16_t* p, int n) {
    if (p == nullptr) {
        return 0;
    }
    return n >= 0 ? n : static_cast<int>(std::char_traits<char16_t>::length(p));
}

}  // namespace

CQtPaneHost::CQtPaneHost(COutputPane* pPane)
    : m_pPane(pPane),
      m_queue(
          [this] { QCoreApplication::postEvent(m_pPane, new CDrainEvent(shared_from_this())); }),
      m_stage([this] { m_queue.Wake(); }) {}

bool CQtPaneHost::Call(PaneFn pfn, void* pContext) {
    struct CCall : IOwnerWork {
        COutputPane* pPane;
        PaneFn pfn;
        void* pContext;
        void Run() override { pfn(*pPane, pContext); }
    } call;
    call.pPane = m_pPane;
    call.pfn = pfn;
    call.pContext = pContext;
    return m_queue.Call(call);
}

void CQtPaneHost::Drain() {
    const auto start = std::chrono::steady_clock::now();
    m_queue.OwnerWoke();
    // the pane may go away inside an item (a slot of the end notification), which detaches
    while (!m_queue.IsDetached()) {
        m_pPane->InsertWaitingOutput();
        if (!m_queue.HasPending()) {
            return;
        }
        if (std::chrono::steady_clock::now() - start > kDrainSlice) {
            m_queue.RewakeIfPending();  // the rest after the event loop's turn
            return;
        }
        // the item was queued after the output its thread handed over before it: insert that
        // once the item is taken, or a chunk put just now would follow its own end notification
        m_queue.RunOne([this] { m_pPane->InsertWaitingOutput(); });
    }
}

bool CQtPaneHost::AppendOutput(const CTextPaneOutput& chunk) {
    if (m_queue.IsOwnerThread()) {
        if (m_queue.IsDetached()) {
            return false;
        }
        m_pPane->InsertWaitingOutput();
        TextPaneInsertOutput(*m_pPane, chunk);
        return true;
    }
    return m_stage.Put(chunk);
}

bool CQtPaneHost::IsPaneAlive() const {
    return !m_queue.IsDetached();
}

bool CQtPaneHost::PostPipeDone(uintptr_t nPipe) {
    struct CPipeDone : IOwnerWork {
        COutputPane* pPane;
        uintptr_t nPipe;
        void Run() override { emit pPane->PipeDone(static_cast<quintptr>(nPipe)); }
    };
    auto pDone = std::make_unique<CPipeDone>();
    pDone->pPane = m_pPane;
    pDone->nPipe = nPipe;
    std::unique_ptr<IOwnerWork> pWork = std::move(pDone);
    return m_queue.Post(pWork);
}

void CQtPaneHost::Detach() {
    m_queue.Detach();
    m_stage.Close();
}

// ---- COutputPane ----------------------------------------------------------------------------

COutputPane::COutputPane(QWidget* pParent)
    : QAbstractScrollArea(pParent), m_pHost(std::make_shared<CQtPaneHost>(this)) {
    m_text.SetExpectedMax(m_nLimit);
    QFont font;
    if (QFontDatabase::families().contains(QStringLiteral("Courier New"))) {
        font = QFont(QStringLiteral("Courier New"));
    } else {
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    }
    font.setPointSize(10);
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    setFont(font);
    setFocusPolicy(Qt::StrongFocus);
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Sunken);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setAutoFillBackground(true);
    viewport()->setBackgroundRole(QPalette::Base);
    setAttribute(Qt::WA_InputMethodEnabled, false);

    m_layoutTimer.setSingleShot(true);
    m_layoutTimer.setInterval(kRefreshMs);
    connect(&m_layoutTimer, &QTimer::timeout, this, &COutputPane::FlushLayout);
    m_outputTimer.setSingleShot(true);
    m_outputTimer.setTimerType(Qt::PreciseTimer);
    m_outputTimer.setInterval(kOutputPollMs);
    connect(&m_outputTimer, &QTimer::timeout, this, &COutputPane::InsertWaitingOutput);
    m_autoScrollTimer.setInterval(50);
    connect(&m_autoScrollTimer, &QTimer::timeout, this, &COutputPane::AutoScrollTick);
    UpdateMetrics();
    UpdateScrollBars();
}

COutputPane::~COutputPane() {
    m_pHost->Detach();
}

bool COutputPane::event(QEvent* pEvent) {
    if (pEvent->type() == kDrainEvent) {
        static_cast<CDrainEvent*>(pEvent)->m_pHost->Drain();
        return true;
    }
    return QAbstractScrollArea::event(pEvent);
}

QSize COutputPane::sizeHint() const {
    return QSize(80 * m_nCharW, 25 * m_nLineH);
}

void COutputPane::SetLimitText(int nLimit) {
    InsertWaitingOutput();
    m_nLimit = nLimit > 0 ? nLimit : kDefaultLimit;
    m_text.SetExpectedMax(m_nLimit);
}

void COutputPane::GetSel(int* pnStart, int* pnEnd) const {
    if (pnStart != nullptr) {
        *pnStart = std::min(m_nEditAnchor, m_nEditCaret);
    }
    if (pnEnd != nullptr) {
        *pnEnd = std::max(m_nEditAnchor, m_nEditCaret);
    }
}

void COutputPane::GetVisibleSel(int* pnStart, int* pnEnd) const {
    const int nAnchor = m_bEditSelPending ? m_nEditAnchor : m_nAnchor;
    const int nCaret = m_bEditSelPending ? m_nEditCaret : m_nCaret;
    if (pnStart != nullptr) {
        *pnStart = std::min(nAnchor, nCaret);
    }
    if (pnEnd != nullptr) {
        *pnEnd = std::max(nAnchor, nCaret);
    }
}

void COutputPane::SetSel(int nStart, int nEnd, bool bNoScroll) {
    InsertWaitingOutput();
    const int nLen = m_text.GetLength();
    if (nEnd < 0 || nEnd > nLen) {
        nEnd = nLen;
    }
    // The user sees this selection once the UI thread gets its turn, unless an insertion at the
    // end (or a removal at the front) takes it first: then it was only where to insert.
    if (nStart >= 0) {
        nStart = std::min(nStart, nLen);
        m_nEditAnchor = std::min(nStart, nEnd);
        m_nEditCaret = std::max(nStart, nEnd);
    } else {
        m_nEditAnchor = m_nEditCaret;
    }
    m_bEditSelPending = true;
    if (!m_bInsertingBatch) {
        viewport()->update();
    }
    if (!bNoScroll) {
        ScrollCaret();
    }
}

void COutputPane::SetSelection(int nAnchor, int nCaret) {
    const int nLen = m_text.GetLength();
    nAnchor = std::clamp(nAnchor, 0, nLen);
    nCaret = std::clamp(nCaret, 0, nLen);
    m_nEditAnchor = nAnchor;
    m_nEditCaret = nCaret;
    m_bEditSelPending = false;
    if (nAnchor == m_nAnchor && nCaret == m_nCaret) {
        return;
    }
    m_nAnchor = nAnchor;
    m_nCaret = nCaret;
    viewport()->update();
}

void COutputPane::CommitSel() {
    if (m_bEditSelPending) {
        SetSelection(m_nEditAnchor, m_nEditCaret);
    }
}

void COutputPane::ReplaceSel(const char16_t* p, int n) {
    InsertWaitingOutput();
    n = TextLength(p, n);
    if (n > m_nLimit) {
        // only the newest part of an oversized insertion can be held
        p += n - m_nLimit;
        n = m_nLimit;
    }
    int nStart = 0;
    int nEnd = 0;
    GetSel(&nStart, &nEnd);
    NoteReplaceForAttrs(nStart, nEnd, n);
    const int nLen = m_text.GetLength();
    // Output arrives as an insertion at the end and, near the limit, a removal at the front: the
    // selection the user sees stays on its text. Anything else is an edit of the selection.
    const bool bAtEnd = nStart == nLen;
    const bool bFromFront = nStart == 0 && n == 0 && nEnd > 0 && nEnd < nLen;
    const bool bKeepView = bAtEnd || bFromFront;
    int nLinesBefore = m_text.GetLineCount();
    m_text.Replace(nStart, nEnd, p, n);
    int nCaret = nStart + n;
    int nRemoved = 0;
    int nLinesRemoved = 0;
    if (bFromFront) {
        nRemoved = nEnd;
        nLinesRemoved = nLinesBefore - m_text.GetLineCount();
    }
    // Make room by dropping the oldest text, so that the newest output is always kept.
    const int nOver = m_text.GetLength() - m_nLimit;
    if (nOver > 0) {
        nLinesBefore = m_text.GetLineCount();
        m_text.EraseFront(nOver);
        NoteEraseFrontForAttrs(nOver);
        nCaret = std::max(0, nCaret - nOver);
        nRemoved += nOver;
        nLinesRemoved += nLinesBefore - m_text.GetLineCount();
    }
    // the view stays on the lines it showed, as far as they are still there
    m_nTopLine = std::max(0, m_nTopLine - nLinesRemoved);
    m_nEditAnchor = m_nEditCaret = nCaret;
    if (bKeepView) {
        m_bEditSelPending = false;
        m_nAnchor = std::max(0, m_nAnchor - nRemoved);
        m_nCaret = std::max(0, m_nCaret - nRemoved);
    } else {
        SetSelection(nCaret, nCaret);
    }
    if (bFromFront) {
        // the caret at the start of what is left is not meant to be seen: the insertion at the
        // end that follows a removal at the front places it
        if (!m_bInsertingBatch) {
            ScheduleLayout();
        }
        return;
    }
    // as an edit control does, the replacement scrolls the caret into view (when following)
    ScrollCaret();
}

void COutputPane::SetText(const char16_t* p, int n) {
    InsertWaitingOutput();
    n = TextLength(p, n);
    m_text.Clear();
    m_attrs.Clear();
    m_nAttrBase = 0;
    if (n > m_nLimit) {
        p += n - m_nLimit;
        n = m_nLimit;
    }
    m_text.Append(p, n);
    SetSelection(0, 0);
    m_nTopLine = 0;
    m_nLeftCol = 0;
    m_bFollow = true;
    ScheduleLayout();
}

// ---- display attributes ----

void COutputPane::ReplaceSelStyled(const char16_t* pszText, const CTextAttrRun* pRuns, int nRuns) {
    InsertWaitingOutput();
    const int nLen = TextLength(pszText, -1);
    int nStart = 0;
    int nEnd = 0;
    GetSel(&nStart, &nEnd);
    const bool bAtEnd = nStart == m_text.GetLength();
    // where the text's first character counts; an oversized text loses its front
    const int64_t nAt = m_nAttrBase + nStart - std::max(0, nLen - m_nLimit);
    ReplaceSel(pszText, nLen);
    if (bAtEnd) {
        m_attrs.Add(nAt, pRuns, nRuns);
        m_attrs.DropBefore(m_nAttrBase);
    }
}

CTextAttr COutputPane::AttrAt(int nPos) const {
    return m_attrs.From(m_nAttrBase + nPos).At(m_nAttrBase + nPos);
}

void COutputPane::NoteReplaceForAttrs(int nStart, int nEnd, int nNew) {
    if (nStart == m_text.GetLength()) {
        return;  // an append: runs of the new text are added by ReplaceSelStyled
    }
    if (nStart == 0 && nNew == 0) {
        NoteEraseFrontForAttrs(nEnd);
        return;
    }
    // A change inside the text (never made while output streams in): the positions no longer
    // hold, the text goes on without attributes.
    m_attrs.Clear();
}

void COutputPane::NoteEraseFrontForAttrs(int nCount) {
    m_nAttrBase += nCount;
    m_attrs.DropBefore(m_nAttrBase);
}

QColor COutputPane::AttrColour(uint32_t nColour, const QColor& nDefault) const {
    // The 16 standard colours, chosen to read well on a light background.
    static const QRgb s_base[16] = {0x000000, 0xC01C28, 0x26A269, 0xA2734C, 0x12488B, 0xA347BA,
                                    0x2AA1B3, 0xD0CFCC, 0x5E5C64, 0xF66151, 0x33D17A, 0xE9AD0C,
                                    0x2A7BDE, 0xC061CB, 0x33C7DE, 0xFFFFFF};
    const uint32_t nKind = nColour & CTextAttr::kColourKindMask;
    if (nKind == CTextAttr::kColourRgb) {
        return QColor(QRgb(nColour & 0xFFFFFF));
    }
    if (nKind != CTextAttr::kColourIndexed) {
        return nDefault;
    }
    const int n = static_cast<int>(nColour & 0xFF);
    if (n < 16) {
        return QColor(s_base[n]);
    }
    if (n < 232) {
        // the 6x6x6 cube
        static const int s_level[6] = {0, 95, 135, 175, 215, 255};
        return QColor(s_level[(n - 16) / 36], s_level[(n - 16) / 6 % 6], s_level[(n - 16) % 6]);
    }
    const int nGrey = 8 + (n - 232) * 10;
    return QColor(nGrey, nGrey, nGrey);
}

int COutputPane::LineFromChar(int nChar) const {
    // -1 asks for the line of the caret (or of the selection start), as in an edit control
    if (nChar < 0) {
        nChar = std::min(m_nEditAnchor, m_nEditCaret);
    }
    return m_text.LineFromChar(nChar);
}

int COutputPane::LineIndex(int nLine) const {
    if (nLine < 0) {
        nLine = m_text.LineFromChar(m_nEditCaret);
    }
    if (nLine >= m_text.GetLineCount()) {
        return -1;
    }
    return m_text.LineIndex(nLine);
}

QString COutputPane::GetText() const {
    return QString(reinterpret_cast<const QChar*>(m_text.Data()), m_text.GetLength());
}

QString COutputPane::GetSelectedText() const {
    int nStart = 0;
    int nEnd = 0;
    GetVisibleSel(&nStart, &nEnd);
    return QString(reinterpret_cast<const QChar*>(m_text.Data(nStart)), nEnd - nStart);
}

void COutputPane::Copy() {
    CommitSel();
    if (m_nAnchor != m_nCaret) {
        QApplication::clipboard()->setText(GetSelectedText());
    }
}

void COutputPane::SelectAll() {
    SetSelection(0, m_text.GetLength());
}

int COutputPane::VisibleLineCount() const {
    return std::max(1, viewport()->height() / std::max(1, m_nLineH));
}

int64_t COutputPane::VisibleColumns() const {
    return std::max(1, viewport()->width() / std::max(1, m_nCharW));
}

int COutputPane::MaxTopLine() const {
    return std::max(0, m_text.GetLineCount() - VisibleLineCount());
}

int64_t COutputPane::MaxLeftColumn() const {
    // the widest line, one column for the caret after it and the margins on both sides
    const int64_t nMarginCols = (2 * kMarginPx + m_nCharW - 1) / m_nCharW;
    const int64_t nMax = m_text.GetMaxColumns() + 1 + nMarginCols - VisibleColumns();
    // the scroll bar holds an int
    return std::clamp<int64_t>(nMax, 0, std::numeric_limits<int>::max());
}

int64_t COutputPane::ColumnOfChar(int nChar) const {
    if (nChar >= m_text.GetLength()) {
        // the end of the text: the last line's width is kept up to date by the text itself (a
        // first line that lost its start is measured, as it is drawn)
        if (m_text.GetLineCount() > 1) {
            return m_text.GetLastLineColumns();
        }
    }
    const int nLine = m_text.LineFromChar(nChar);
    const int nStart = m_text.LineIndex(nLine);
    const int nLen = std::min(nChar - nStart, m_text.LineLength(nLine));
    return COutputText::AdvanceColumns(m_text.Data(nStart), nLen, 0);
}

void COutputPane::ScrollCaret() {
    if (m_bInsertingBatch) {
        m_bBatchScroll = true;  // once, at the end of the batch
        return;
    }
    // The insertion point at the end does not pull a view the user scrolled away from the end,
    // or is selecting in, back to it.
    if (m_nEditCaret >= m_text.GetLength() && (!m_bFollow || m_bSelecting)) {
        ScheduleLayout();
        return;
    }
    ScrollToPos(m_nEditCaret);
}

void COutputPane::ScrollToPos(int nPos, bool bCentre) {
    const int nLine = m_text.LineFromChar(nPos);
    const int nVisible = VisibleLineCount();
    if (nLine < m_nTopLine || nLine >= m_nTopLine + nVisible) {
        m_nTopLine =
            bCentre ? nLine - nVisible / 2 : (nLine < m_nTopLine ? nLine : nLine - nVisible + 1);
        m_nTopLine = std::clamp(m_nTopLine, 0, MaxTopLine());
    }
    // Horizontally only when the position is not at the start of a line, which is where
    // streamed output leaves it; this keeps a flood of short lines from measuring anything.
    int64_t nCol = 0;
    if (nPos != m_text.LineIndex(nLine)) {
        nCol = ColumnOfChar(nPos);
    }
    const int64_t nCols = VisibleColumns();
    if (nCol < m_nLeftCol) {
        m_nLeftCol = std::max<int64_t>(0, nCol - nCols / 4);
    } else if (nCol + 1 > m_nLeftCol + nCols) {
        m_nLeftCol = nCol + 1 - nCols + nCols / 4;
    }
    m_bFollow = m_nTopLine >= MaxTopLine();
    ScheduleLayout();
}

void COutputPane::InsertWaitingOutput() {
    if (m_bInsertingBatch || !m_pHost->TakeOutput(m_batch)) {
        return;
    }
    InsertOutputBatch(m_batch);
    m_batch.Clear();
    // more may be arriving without a wake-up: look again soon, at once if the reader is ahead
    m_outputTimer.start(m_pHost->IsOutputBacklogged() ? 0 : kOutputPollMs);
}

void COutputPane::InsertOutputBatch(const COutputBatch& batch) {
    m_bInsertingBatch = true;
    m_bBatchScroll = false;
    for (size_t i = 0; i < batch.ChunkCount(); ++i) {
        TextPaneInsertOutputT(*this, batch.Chunk(i));
    }
    m_bInsertingBatch = false;
    // layout and repaint on the next refresh tick, however many batches arrive meanwhile
    if (m_bBatchScroll) {
        ScrollCaret();
    } else {
        ScheduleLayout();
    }
}

void COutputPane::ScheduleLayout() {
    m_bLayoutPending = true;
    if (!m_layoutTimer.isActive()) {
        m_layoutTimer.start();
    }
}

void COutputPane::FlushLayout() {
    m_layoutTimer.stop();
    m_bLayoutPending = false;
    UpdateFind();
    UpdateScrollBars();
    viewport()->update();
}

void COutputPane::ClampScroll() {
    m_nTopLine = std::clamp(m_nTopLine, 0, MaxTopLine());
    if (m_bFollow && !m_bSelecting) {
        m_nTopLine = MaxTopLine();
    }
    m_nLeftCol = std::clamp<int64_t>(m_nLeftCol, 0, MaxLeftColumn());
}

void COutputPane::UpdateScrollBars() {
    ClampScroll();
    m_bSyncingBars = true;
    QScrollBar* pV = verticalScrollBar();
    const int nVisible = VisibleLineCount();
    pV->setRange(0, MaxTopLine());
    pV->setPageStep(nVisible);
    pV->setSingleStep(1);
    pV->setValue(m_nTopLine);
    // in columns: a line of millions of tabs is wider than an int counts pixels
    QScrollBar* pH = horizontalScrollBar();
    pH->setRange(0, static_cast<int>(MaxLeftColumn()));
    pH->setPageStep(static_cast<int>(VisibleColumns()));
    pH->setSingleStep(1);
    pH->setValue(static_cast<int>(m_nLeftCol));
    m_bSyncingBars = false;
}

void COutputPane::UpdateMetrics() {
    QFontMetrics fm(font());
    m_nCharW = std::max(1, fm.horizontalAdvance(QLatin1Char('M')));
    m_nLineH = std::max(1, fm.lineSpacing());
    m_nAscent = fm.ascent();
}

void COutputPane::scrollContentsBy(int, int) {
    if (m_bSyncingBars) {
        return;
    }
    // the user scrolled: the view follows the end again once it shows the last line
    m_nTopLine = verticalScrollBar()->value();
    m_nLeftCol = horizontalScrollBar()->value();
    m_bFollow = m_nTopLine >= verticalScrollBar()->maximum();
    viewport()->update();
}

void COutputPane::resizeEvent(QResizeEvent* pEvent) {
    QAbstractScrollArea::resizeEvent(pEvent);
    // a view that follows the end keeps showing the last line
    UpdateScrollBars();
}

void COutputPane::changeEvent(QEvent* pEvent) {
    QAbstractScrollArea::changeEvent(pEvent);
    if (pEvent->type() == QEvent::FontChange) {
        UpdateMetrics();
        UpdateScrollBars();
        viewport()->update();
    }
}

void COutputPane::focusInEvent(QFocusEvent* pEvent) {
    QAbstractScrollArea::focusInEvent(pEvent);
    viewport()->update();
}

void COutputPane::focusOutEvent(QFocusEvent* pEvent) {
    QAbstractScrollArea::focusOutEvent(pEvent);
    viewport()->update();
}

void COutputPane::paintEvent(QPaintEvent*) {
    if (m_bLayoutPending) {
        // a paint requested by the system between refresh ticks shows the current state
        m_layoutTimer.stop();
        m_bLayoutPending = false;
        UpdateFind();
        UpdateScrollBars();
    }
    QPainter painter(viewport());
    painter.setFont(font());
    const QPalette& pal = palette();
    const QColor textColor = pal.color(QPalette::Text);
    const QColor selBack =
        pal.color(hasFocus() ? QPalette::Active : QPalette::Inactive, QPalette::Highlight);
    const QColor selText =
        pal.color(hasFocus() ? QPalette::Active : QPalette::Inactive, QPalette::HighlightedText);
    // find occurrences: all of them light, the selected one stronger
    const QColor matchBack(255, 236, 140);
    const QColor currentBack(255, 170, 70);
    int nSelStart = 0;
    int nSelEnd = 0;
    GetVisibleSel(&nSelStart, &nSelEnd);

    const int nWidth = viewport()->width();
    const int64_t nFirstCol = m_nLeftCol;
    const int64_t nLastCol = m_nLeftCol + nWidth / m_nCharW + 1;
    const int64_t nLeftPx = m_nLeftCol * m_nCharW;
    const int nLines = m_text.GetLineCount();
    const int nRows = viewport()->height() / m_nLineH + 1;
    const int64_t nDropped = m_text.GetDropped();
    const int nMatchLen = m_find.PatternLength();
    const bool bMatches =
        m_find.IsActive() && m_find.Count() > 0 && m_find.Generation() == m_text.GetGeneration();
    // x of a column in the viewport, 64 bits, and the same clamped to what a QRect holds
    auto colX = [&](int64_t nCol) { return kMarginPx + nCol * m_nCharW - nLeftPx; };
    auto clampX = [&](int64_t nX) {
        return static_cast<int>(std::clamp<int64_t>(nX, -m_nCharW, nWidth + m_nCharW));
    };
    QString run;
    // the units of the current line inside occurrences: an output's own background leaves them
    std::vector<std::pair<int, int>> found;
    for (int nRow = 0; nRow < nRows && m_nTopLine + nRow < nLines; ++nRow) {
        const int nLine = m_nTopLine + nRow;
        const int nStart = m_text.LineIndex(nLine);
        const int nLen = m_text.LineLength(nLine);
        const char16_t* p = m_text.Data(nStart);
        const int nY = nRow * m_nLineH;
        const int nBase = nY + m_nAscent;
        const int nLineEnd = nStart + nLen;

        // find occurrences on this line, measured left to right in one pass
        found.clear();
        if (bMatches) {
            size_t i = m_find.LowerBound(nDropped + nStart - (nMatchLen - 1));
            int nPos = 0;
            int64_t nCol = 0;
            auto advanceTo = [&](int nTo) {
                nTo = std::min(nTo, nLen);
                if (nTo > nPos) {
                    nCol = COutputText::AdvanceColumns(p + nPos, nTo - nPos, nCol);
                    nPos = nTo;
                }
            };
            for (; i < m_find.Count() && nCol <= nLastCol; ++i) {
                const int64_t nAt = m_find.At(i) - nDropped;
                if (nAt >= nLineEnd) {
                    break;
                }
                advanceTo(static_cast<int>(std::max<int64_t>(nAt - nStart, 0)));
                found.emplace_back(static_cast<int>(std::max<int64_t>(nAt - nStart, 0)),
                                   static_cast<int>(nAt - nStart + nMatchLen));
                const int64_t nX0 = colX(nCol);
                advanceTo(static_cast<int>(nAt - nStart + nMatchLen));
                const int64_t nX1 = colX(nCol);
                if (nX1 >= 0 && nX0 <= nWidth) {
                    const bool bCurrent = m_find.At(i) == m_nFindCurrent;
                    painter.fillRect(QRect(clampX(nX0), nY, clampX(nX1) - clampX(nX0), m_nLineH),
                                     bCurrent ? currentBack : matchBack);
                }
            }
        }

        // selection background: from the column of its start to the column of its end on this
        // line, one column further when it takes in the line end
        int nSelX0 = 0;
        int nSelX1 = 0;
        if (nSelStart < nSelEnd && nSelStart <= nLineEnd && nSelEnd > nStart) {
            const int a = std::max(nSelStart, nStart) - nStart;
            const int b = std::min(nSelEnd, nLineEnd) - nStart;
            const int64_t nColA = COutputText::AdvanceColumns(p, a, 0);
            int64_t nColB = nColA;
            if (nColA <= nLastCol) {
                nColB = COutputText::AdvanceColumns(p + a, b - a, nColA);
            }
            if (nSelEnd > nLineEnd) {
                ++nColB;
            }
            nSelX0 = clampX(colX(nColA));
            nSelX1 = clampX(nColA <= nLastCol ? colX(nColB) : nWidth + m_nCharW);
            painter.fillRect(QRect(nSelX0, nY, nSelX1 - nSelX0, m_nLineH), selBack);
        }

        // text: runs of same-pitch characters in one call, other characters in their cells
        painter.setPen(textColor);
        int64_t nCol = 0;
        int64_t nRunCol = -1;
        auto flush = [&]() {
            if (!run.isEmpty()) {
                painter.drawText(static_cast<int>(colX(nRunCol)), nBase, run);
                run.clear();
            }
            nRunCol = -1;
        };
        // display attributes: a change ends the run; a background fills the cells
        CTextAttrStore::CCursor attrs = m_attrs.From(m_nAttrBase + nStart);
        CTextAttr attrNow;
        size_t nFound = 0;  // the first occurrence that does not end before the unit painted
        auto inFound = [&](int i) {
            while (nFound < found.size() && found[nFound].second <= i) {
                ++nFound;
            }
            return nFound < found.size() && found[nFound].first <= i;
        };
        bool bFoundNow = false;
        auto applyAttr = [&](int i) {
            if (m_attrs.IsEmpty()) {
                return;
            }
            const CTextAttr& attr = attrs.At(m_nAttrBase + nStart + i);
            const bool bFound = inFound(i);
            if (!(attr == attrNow) || bFound != bFoundNow) {
                flush();
                attrNow = attr;
                bFoundNow = bFound;
                QColor fore = AttrColour(attr.nFore, textColor);
                QColor back = AttrColour(attr.nBack, pal.color(QPalette::Base));
                if (attr.nFlags & CTextAttr::kInverse) {
                    std::swap(fore, back);
                }
                if (attr.nFlags & CTextAttr::kFaint) {
                    fore.setAlpha(128);
                }
                // inside an occurrence the highlight is the background: the pane's own text
                // colour reads on it, where the output's (white on blue, say) would not
                painter.setPen(bFound ? textColor : fore);
                QFont styled = font();
                styled.setBold((attr.nFlags & CTextAttr::kBold) != 0);
                styled.setItalic((attr.nFlags & CTextAttr::kItalic) != 0);
                styled.setUnderline((attr.nFlags & CTextAttr::kUnderline) != 0);
                styled.setStrikeOut((attr.nFlags & CTextAttr::kStrike) != 0);
                painter.setFont(styled);
            }
            if ((attr.nBack != 0 || (attr.nFlags & CTextAttr::kInverse)) &&
                !(nStart + i >= nSelStart && nStart + i < nSelEnd) && !bFound) {
                const int64_t nNext = COutputText::AdvanceColumns(p + i, 1, nCol);
                QColor back = AttrColour(attr.nBack, pal.color(QPalette::Base));
                if (attr.nFlags & CTextAttr::kInverse) {
                    back = AttrColour(attr.nFore, textColor);
                }
                const int nX0 = clampX(colX(nCol));
                painter.fillRect(QRect(nX0, nY, clampX(colX(nNext)) - nX0, m_nLineH), back);
            }
        };
        // Characters wholly left of the view are only counted, printable ASCII four at a time:
        // a line of millions of characters scrolled to its end costs little to paint.
        // Where the last paint stopped counting on a long line is remembered: output arriving at
        // the end of such a line then costs the new characters only.
        int i = 0;
        const int64_t nAbsStart = nDropped + nStart;
        if (m_skip.nGeneration == m_text.GetGeneration() && m_skip.nAbsLineStart == nAbsStart &&
            m_skip.nCol + 2 < nFirstCol && m_skip.nAbsChar - nAbsStart <= nLen) {
            i = static_cast<int>(m_skip.nAbsChar - nAbsStart);
            nCol = m_skip.nCol;
        }
        const int iSkipFrom = i;
        while (i < nLen) {
            if (i + 4 <= nLen && nCol + 4 + 2 < nFirstCol && FourPrintable(p + i)) {
                nCol += 4;
                i += 4;
                continue;
            }
            const int nUnits = IsHigh(p[i]) && i + 1 < nLen && IsLow(p[i + 1]) ? 2 : 1;
            const int64_t nNext = COutputText::AdvanceColumns(p + i, nUnits, nCol);
            if (nNext + 2 >= nFirstCol) {
                break;
            }
            nCol = nNext;
            i += nUnits;
        }
        if (i - iSkipFrom > kSkipRemembered) {
            m_skip = {m_text.GetGeneration(), nAbsStart, nAbsStart + i, nCol};
        }
        for (; i < nLen && nCol <= nLastCol; ++i) {
            const char16_t c = p[i];
            applyAttr(i);
            if (IsRunChar(c)) {
                if (nCol >= nFirstCol - 1) {
                    if (nRunCol < 0) {
                        nRunCol = nCol;
                    }
                    run.append(QChar(c));
                }
                ++nCol;
                continue;
            }
            flush();
            int64_t nNext = COutputText::AdvanceColumns(p + i, 1, nCol);
            int nUnits = 1;
            if (IsHigh(c) && i + 1 < nLen && IsLow(p[i + 1])) {
                nNext = COutputText::AdvanceColumns(p + i, 2, nCol);
                nUnits = 2;
            }
            if (c != u'\t' && nNext + 2 >= nFirstCol && (c >= 0x20 && !(c >= 0x7F && c < 0xA0))) {
                painter.drawText(static_cast<int>(colX(nCol)), nBase,
                                 QString(reinterpret_cast<const QChar*>(p + i), nUnits));
            }
            i += nUnits - 1;
            nCol = nNext;
        }
        flush();
        if (!attrNow.IsDefault()) {
            painter.setFont(font());
        }

        // the selected part once more in the selection's text colour
        if (nSelX1 > nSelX0) {
            painter.save();
            painter.setClipRect(QRect(nSelX0, nY, nSelX1 - nSelX0, m_nLineH));
            painter.setPen(selText);
            nCol = 0;
            for (int i = 0; i < nLen && nCol <= nLastCol; ++i) {
                const int64_t nNext = COutputText::AdvanceColumns(p + i, 1, nCol);
                const char16_t c = p[i];
                if (nNext + 2 >= nFirstCol && colX(nNext) >= nSelX0 && colX(nCol) <= nSelX1 &&
                    c >= 0x20 && c != 0x7F && !IsLow(c)) {
                    const int nUnits = (IsHigh(c) && i + 1 < nLen && IsLow(p[i + 1])) ? 2 : 1;
                    painter.drawText(static_cast<int>(colX(nCol)), nBase,
                                     QString(reinterpret_cast<const QChar*>(p + i), nUnits));
                }
                nCol = nNext;
            }
            painter.restore();
        }
    }

    // the caret, while the pane has the focus
    if (hasFocus()) {
        const int nCaret = m_bEditSelPending ? m_nEditCaret : m_nCaret;
        const int nLine = m_text.LineFromChar(nCaret);
        if (nLine >= m_nTopLine && nLine < m_nTopLine + nRows) {
            const int64_t nX = colX(ColumnOfChar(nCaret));
            if (nX >= 0 && nX <= nWidth) {
                const int nY = (nLine - m_nTopLine) * m_nLineH;
                painter.fillRect(QRect(static_cast<int>(nX), nY, 1, m_nLineH), textColor);
            }
        }
    }
}

int COutputPane::CharFromPoint(const QPoint& pt) const {
    const int nLines = m_text.GetLineCount();
    int nLine = m_nTopLine + (pt.y() >= 0 ? pt.y() / m_nLineH : -1 - (-pt.y()) / m_nLineH);
    nLine = std::clamp(nLine, 0, nLines - 1);
    const int nStart = m_text.LineIndex(nLine);
    const int nLen = m_text.LineLength(nLine);
    const char16_t* p = m_text.Data(nStart);
    const int64_t nX = pt.x() + m_nLeftCol * m_nCharW - kMarginPx;
    int64_t nCol = 0;
    for (int i = 0; i < nLen; ++i) {
        const int nUnits = (IsHigh(p[i]) && i + 1 < nLen && IsLow(p[i + 1])) ? 2 : 1;
        const int64_t nNext = COutputText::AdvanceColumns(p + i, nUnits, nCol);
        // the nearer edge of the character's cell
        if (nX < (nCol * m_nCharW + nNext * m_nCharW) / 2) {
            return nStart + i;
        }
        nCol = nNext;
        i += nUnits - 1;
    }
    return nStart + nLen;
}

void COutputPane::MoveCaret(int nPos, bool bKeepAnchor) {
    nPos = std::clamp(nPos, 0, m_text.GetLength());
    // never between the CR and the LF of a line end
    if (nPos > 0 && nPos < m_text.GetLength() && *m_text.Data(nPos) == u'\n' &&
        *m_text.Data(nPos - 1) == u'\r') {
        nPos += nPos > m_nCaret ? 1 : -1;
    }
    SetSelection(bKeepAnchor ? m_nAnchor : nPos, nPos);
    ScrollToPos(nPos);
    FlushLayout();
}

void COutputPane::keyPressEvent(QKeyEvent* pEvent) {
    CommitSel();
    if (pEvent->matches(QKeySequence::Copy) ||
        (pEvent->key() == Qt::Key_Insert && pEvent->modifiers() == Qt::ControlModifier)) {
        Copy();
        return;
    }
    if (pEvent->matches(QKeySequence::SelectAll)) {
        SelectAll();
        return;
    }
    const bool bShift = pEvent->modifiers() & Qt::ShiftModifier;
    const bool bCtrl = pEvent->modifiers() & Qt::ControlModifier;
    const int nLine = m_text.LineFromChar(m_nCaret);
    const int nCol = m_nCaret - m_text.LineIndex(nLine);
    auto toLine = [&](int nTarget) {
        nTarget = std::clamp(nTarget, 0, m_text.GetLineCount() - 1);
        return m_text.LineIndex(nTarget) + std::min(nCol, m_text.LineLength(nTarget));
    };
    switch (pEvent->key()) {
        case Qt::Key_Left:
            MoveCaret(m_nCaret - 1, bShift);
            return;
        case Qt::Key_Right:
            MoveCaret(m_nCaret + 1, bShift);
            return;
        case Qt::Key_Up:
            MoveCaret(toLine(nLine - 1), bShift);
            return;
        case Qt::Key_Down:
            MoveCaret(toLine(nLine + 1), bShift);
            return;
        case Qt::Key_PageUp:
            MoveCaret(toLine(nLine - VisibleLineCount()), bShift);
            return;
        case Qt::Key_PageDown:
            MoveCaret(toLine(nLine + VisibleLineCount()), bShift);
            return;
        case Qt::Key_Home:
            MoveCaret(bCtrl ? 0 : m_text.LineIndex(nLine), bShift);
            return;
        case Qt::Key_End:
            MoveCaret(
                bCtrl ? m_text.GetLength() : m_text.LineIndex(nLine) + m_text.LineLength(nLine),
                bShift);
            return;
        default:
            break;
    }
    // read-only: everything else goes to the parent (accelerators, dialog keys)
    QAbstractScrollArea::keyPressEvent(pEvent);
}

void COutputPane::mousePressEvent(QMouseEvent* pEvent) {
    if (pEvent->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(pEvent);
        return;
    }
    setFocus(Qt::MouseFocusReason);
    CommitSel();
    const int nPos = CharFromPoint(pEvent->position().toPoint());
    SetSelection((pEvent->modifiers() & Qt::ShiftModifier) ? m_nAnchor : nPos, nPos);
    m_bSelecting = true;
    viewport()->update();
}

void COutputPane::mouseMoveEvent(QMouseEvent* pEvent) {
    if (!m_bSelecting) {
        return;
    }
    const QPoint pt = pEvent->position().toPoint();
    SetSelection(m_nAnchor, CharFromPoint(pt));
    if (viewport()->rect().contains(pt)) {
        m_autoScrollTimer.stop();
    } else if (!m_autoScrollTimer.isActive()) {
        m_autoScrollTimer.start();
    }
}

void COutputPane::AutoScrollTick() {
    if (!m_bSelecting) {
        m_autoScrollTimer.stop();
        return;
    }
    const QPoint pt = viewport()->mapFromGlobal(QCursor::pos());
    SetSelection(m_nAnchor, CharFromPoint(pt));
    ScrollToPos(m_nCaret);
    FlushLayout();
}

void COutputPane::mouseReleaseEvent(QMouseEvent* pEvent) {
    if (pEvent->button() == Qt::LeftButton && m_bSelecting) {
        m_bSelecting = false;
        m_autoScrollTimer.stop();
        // a view that follows catches up with what arrived during the drag
        ScheduleLayout();
        QClipboard* pClip = QApplication::clipboard();
        if (m_nAnchor != m_nCaret && pClip->supportsSelection()) {
            pClip->setText(GetSelectedText(), QClipboard::Selection);
        }
    }
}

void COutputPane::contextMenuEvent(QContextMenuEvent* pEvent) {
    CommitSel();
    QMenu menu(this);
    QAction* pCopy = menu.addAction(tr("&Copy"), this, &COutputPane::Copy);
    pCopy->setEnabled(m_nAnchor != m_nCaret);
    menu.addSeparator();
    menu.addAction(tr("Select &All"), this, &COutputPane::SelectAll);
    menu.exec(pEvent->globalPos());
}

void COutputPane::mouseDoubleClickEvent(QMouseEvent* pEvent) {
    if (pEvent->button() != Qt::LeftButton) {
        return;
    }
    // select the word (letters, digits, underscores) under the pointer
    const int nPos = CharFromPoint(pEvent->position().toPoint());
    const int nLine = m_text.LineFromChar(nPos);
    const int nLineStart = m_text.LineIndex(nLine);
    const int nLineEnd = nLineStart + m_text.LineLength(nLine);
    auto isWord = [&](int i) {
        const QChar c(*m_text.Data(i));
        return c.isLetterOrNumber() || c == QLatin1Char('_');
    };
    int a = nPos;
    int b = nPos;
    while (a > nLineStart && isWord(a - 1)) {
        --a;
    }
    while (b < nLineEnd && isWord(b)) {
        ++b;
    }
    SetSelection(a, b);
}

// ---- find -----------------------------------------------------------------------------------

void COutputPane::BeginFind() {
    InsertWaitingOutput();
    CommitSel();
    int nStart = 0;
    int nEnd = 0;
    GetVisibleSel(&nStart, &nEnd);
    const int nFrom = nStart != nEnd ? nStart : m_text.LineIndex(m_nTopLine);
    m_nFindOrigin = m_text.GetDropped() + nFrom;
}

bool COutputPane::SetFindPattern(const QString& strPattern, bool bMatchCase) {
    InsertWaitingOutput();
    m_find.SetPattern(reinterpret_cast<const char16_t*>(strPattern.utf16()),
                      static_cast<int>(strPattern.size()), bMatchCase);
    m_nFindCurrent = -1;
    UpdateFind();
    viewport()->update();
    bool bFound = false;
    if (m_find.Count() > 0) {
        size_t i = m_find.LowerBound(std::max(m_nFindOrigin, m_text.GetDropped()));
        SelectMatch(i < m_find.Count() ? i : 0);
        bFound = true;
    }
    emit FindChanged();
    return bFound;
}

bool COutputPane::FindNext(bool bBackward) {
    InsertWaitingOutput();
    UpdateFind();
    const size_t nCount = m_find.Count();
    if (nCount == 0) {
        return false;
    }
    // from the selected occurrence, else from the selection the user sees
    int64_t nFrom = m_nFindCurrent;
    if (nFrom < 0) {
        int nStart = 0;
        GetVisibleSel(&nStart, nullptr);
        nFrom = m_text.GetDropped() + nStart;
    }
    size_t i = 0;
    if (!bBackward) {
        i = m_find.LowerBound(m_nFindCurrent < 0 ? nFrom : nFrom + 1);
        if (i >= nCount) {
            i = 0;
        }
    } else {
        i = m_find.LowerBound(nFrom);
        i = i == 0 ? nCount - 1 : i - 1;
    }
    SelectMatch(i);
    emit FindChanged();
    return true;
}

void COutputPane::EndFind() {
    m_find.SetPattern(nullptr, 0, true);
    m_nFindCurrent = -1;
    viewport()->update();
    emit FindChanged();
}

int COutputPane::FindMatchCount() const {
    return static_cast<int>(m_find.Count());
}

int COutputPane::FindCurrentMatch() const {
    if (m_nFindCurrent < 0) {
        return 0;
    }
    const size_t i = m_find.LowerBound(m_nFindCurrent);
    return i < m_find.Count() && m_find.At(i) == m_nFindCurrent ? static_cast<int>(i) + 1 : 0;
}

void COutputPane::SelectMatch(size_t nIndex) {
    m_nFindCurrent = m_find.At(nIndex);
    const int nStart = static_cast<int>(m_nFindCurrent - m_text.GetDropped());
    SetSelection(nStart, nStart + m_find.PatternLength());
    // the start first, so that a long line shows the occurrence from its beginning
    ScrollToPos(nStart + m_find.PatternLength(), true);
    ScrollToPos(nStart, true);
    FlushLayout();
}

void COutputPane::UpdateFind() {
    if (!m_find.IsActive()) {
        return;
    }
    const uint64_t nGeneration = m_text.GetGeneration();
    bool bChanged =
        m_find.Update(m_text.Data(), m_text.GetLength(), m_text.GetDropped(), nGeneration);
    if (nGeneration != m_nFindGeneration) {
        // the text was cleared or rewritten: the selected occurrence is gone
        m_nFindGeneration = nGeneration;
        bChanged = bChanged || m_nFindCurrent >= 0;
        m_nFindCurrent = -1;
    }
    if (bChanged) {
        emit FindChanged();
    }
}
