#include "text-pane-memory.h"

#include <algorithm>
#include <chrono>

// ---------------------------------------------------------------------------------------------
// CTextPaneMemory

CTextPaneMemory::CTextPaneMemory() : m_lines{0} {}

int CTextPaneMemory::GetTextLength() const {
    return static_cast<int>(m_text.size());
}

unsigned CTextPaneMemory::GetLimitText() const {
    return m_nLimit;
}

void CTextPaneMemory::GetSel(int* pnStart, int* pnEnd) const {
    if (pnStart) {
        *pnStart = m_nSelStart;
    }
    if (pnEnd) {
        *pnEnd = m_nSelEnd;
    }
}

void CTextPaneMemory::SetSel(int nStart, int nEnd, bool bNoScroll) {
    const int nLen = GetTextLength();
    if (nStart < 0) {
        m_nSelStart = m_nSelEnd = m_nCaret;
    } else {
        const int s = std::min(nStart, nLen);
        const int e = (nEnd < 0 || nEnd > nLen) ? nLen : nEnd;
        m_nSelStart = std::min(s, e);
        m_nSelEnd = std::max(s, e);
        m_nCaret = e;
    }
    if (!bNoScroll) {
        ScrollCaret();
    }
}

void CTextPaneMemory::ReplaceSel(const char16_t* pszText) {
    int nLen = 0;
    if (pszText) {
        while (pszText[nLen]) {
            ++nLen;
        }
    }
    // What the pane may still take once the selection is gone, in 64 bits so that a limit near
    // 0xFFFFFFFF cannot wrap.
    const int64_t nKept = GetTextLength() - (m_nSelEnd - m_nSelStart);
    const int64_t nRoom = std::max<int64_t>(0, static_cast<int64_t>(m_nLimit) - nKept);
    if (nLen > nRoom) {
        nLen = static_cast<int>(nRoom);
    }
    const int nStart = m_nSelStart;
    ReplaceRange(nStart, m_nSelEnd, pszText, nLen);
    m_nSelStart = m_nSelEnd = m_nCaret = nStart + nLen;
}

void CTextPaneMemory::ReplaceSelStyled(const char16_t* pszText, const CTextAttrRun* pRuns,
                                       int nRuns) {
    const int nStart = m_nSelStart;
    ReplaceSel(pszText);
    for (int i = 0; i < nRuns; ++i) {
        CTextAttrRun run = pRuns[i];
        run.nStart += nStart;
        m_runs.push_back(run);
    }
}

int CTextPaneMemory::LineFromChar(int nIndex) const {
    if (nIndex < 0) {
        nIndex = m_nSelStart;
    }
    nIndex = std::min(nIndex, GetTextLength());
    const auto it = std::upper_bound(m_lines.begin(), m_lines.end(), nIndex);
    return static_cast<int>(it - m_lines.begin()) - 1;
}

int CTextPaneMemory::LineIndex(int nLine) const {
    if (nLine < 0) {
        nLine = LineFromChar(m_nCaret);
    }
    if (nLine >= GetLineCount()) {
        return -1;
    }
    return m_lines[static_cast<size_t>(nLine)];
}

void CTextPaneMemory::ScrollCaret() {
    ++m_nScrolls;
}

void CTextPaneMemory::SetLimitText(unsigned nLimit) {
    m_nLimit = nLimit ? nLimit : 0xFFFFFFFFu;
}

void CTextPaneMemory::SetText(const char16_t* pszText) {
    int nLen = 0;
    if (pszText) {
        while (pszText[nLen]) {
            ++nLen;
        }
    }
    ReplaceRange(0, GetTextLength(), pszText, nLen);
    m_nSelStart = m_nSelEnd = m_nCaret = 0;
}

void CTextPaneMemory::ReplaceRange(int nStart, int nEnd, const char16_t* p, int nLen) {
    const int nDelta = nLen - (nEnd - nStart);
    m_text.replace(static_cast<size_t>(nStart), static_cast<size_t>(nEnd - nStart), p ? p : u"",
                   static_cast<size_t>(nLen));
    // A line starts at q when the two characters before q are CR LF. Starts up to nStart keep
    // their place; those whose CR LF touched the replaced range go; those beyond it move by nDelta.
    // The starts around the new text are then found again.
    auto first = std::upper_bound(m_lines.begin(), m_lines.end(), nStart);
    auto beyond = std::upper_bound(first, m_lines.end(), nEnd + 1);
    for (auto it = beyond; it != m_lines.end(); ++it) {
        *it += nDelta;
    }
    std::vector<int> found;
    const int nTextLen = GetTextLength();
    for (int q = std::max(nStart + 1, 2); q <= std::min(nStart + nLen + 1, nTextLen); ++q) {
        if (m_text[static_cast<size_t>(q - 2)] == u'\r' &&
            m_text[static_cast<size_t>(q - 1)] == u'\n') {
            found.push_back(q);
        }
    }
    const auto nFirst = first - m_lines.begin();
    m_lines.erase(first, beyond);
    m_lines.insert(m_lines.begin() + nFirst, found.begin(), found.end());
}

// ---------------------------------------------------------------------------------------------
// CTextPaneMemoryHost

namespace {
// The host whose owner thread the calling thread is, if any.
thread_local const CTextPaneMemoryHost* t_pOwnerOf = nullptr;
}  // namespace

CTextPaneMemoryHost::CTextPaneMemoryHost() : m_owner([this] { OwnerLoop(); }) {}

CTextPaneMemoryHost::~CTextPaneMemoryHost() {
    Detach();
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_bStop = true;
    }
    m_cv.notify_all();
    m_owner.join();
}

bool CTextPaneMemoryHost::IsOwnerThread() const {
    return t_pOwnerOf == this;
}

bool CTextPaneMemoryHost::Call(PaneFn pfn, void* pContext) {
    if (!pfn) {
        return false;
    }
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_bDetached) {
        return false;
    }
    if (IsOwnerThread()) {
        ++m_nCalls;
        lock.unlock();
        pfn(m_pane, pContext);
        return true;
    }
    Item item;
    item.pfn = pfn;
    item.pContext = pContext;
    m_queue.push_back(&item);
    m_cv.notify_all();
    m_cv.wait(lock, [&] { return item.bDone; });
    return item.bRan;
}

bool CTextPaneMemoryHost::IsPaneAlive() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return !m_bDetached;
}

bool CTextPaneMemoryHost::PostPipeDone(uintptr_t nPipe) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_bDetached) {
        return false;
    }
    Item* pItem = new Item;
    pItem->nPipe = nPipe;
    m_queue.push_back(pItem);
    m_cv.notify_all();
    return true;
}

void CTextPaneMemoryHost::Detach() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_bDetached) {
        return;
    }
    m_bDetached = true;
    // Release the waiting calls and drop the notifications; owner functions still run.
    std::deque<Item*> kept;
    for (Item* pItem : m_queue) {
        if (pItem->pfn) {
            pItem->bRan = false;
            pItem->bDone = true;
        } else if (pItem->fnOwner) {
            kept.push_back(pItem);
        } else {
            delete pItem;
        }
    }
    m_queue.swap(kept);
    m_cv.notify_all();
}

void CTextPaneMemoryHost::RunOnOwner(const std::function<void(CTextPaneMemory&)>& fn) {
    std::unique_lock<std::mutex> lock(m_lock);
    Item item;
    item.fnOwner = fn;
    m_queue.push_back(&item);
    m_cv.notify_all();
    m_cv.wait(lock, [&] { return item.bDone; });
}

std::u16string CTextPaneMemoryHost::Text() {
    std::u16string text;
    RunOnOwner([&](CTextPaneMemory& pane) { text = pane.GetText(); });
    return text;
}

void CTextPaneMemoryHost::SetPipeDoneHandler(std::function<void(CTextPaneMemory&, uintptr_t)> fn) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_fnDone = std::move(fn);
}

bool CTextPaneMemoryHost::WaitPipeDone(size_t nCount, int nTimeoutMs) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_cv.wait_for(lock, std::chrono::milliseconds(nTimeoutMs),
                         [&] { return m_done.size() >= nCount; });
}

std::vector<uintptr_t> CTextPaneMemoryHost::PipeDoneValues() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_done;
}

int CTextPaneMemoryHost::CallCount() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_nCalls;
}

void CTextPaneMemoryHost::SetOwnerDelayMs(int nMs) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_nDelayMs = nMs;
}

void CTextPaneMemoryHost::OwnerLoop() {
    t_pOwnerOf = this;
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_cv.wait(lock, [&] { return m_bStop || !m_queue.empty(); });
        if (m_queue.empty()) {
            return;  // stopping, nothing left
        }
        if (m_nDelayMs > 0) {
            const int nMs = m_nDelayMs;
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(nMs));
            lock.lock();
            if (m_queue.empty()) {
                continue;  // detached meanwhile
            }
        }
        Item* pItem = m_queue.front();
        m_queue.pop_front();
        RunItem(*pItem, lock);
    }
}

void CTextPaneMemoryHost::RunItem(Item& item, std::unique_lock<std::mutex>& lock) {
    if (item.pfn) {
        item.bRan = !m_bDetached;
        if (item.bRan) {
            ++m_nCalls;
            lock.unlock();
            item.pfn(m_pane, item.pContext);
            lock.lock();
        }
        item.bDone = true;
        m_cv.notify_all();
    } else if (item.fnOwner) {
        lock.unlock();
        item.fnOwner(m_pane);
        lock.lock();
        item.bRan = item.bDone = true;
        m_cv.notify_all();
    } else {
        if (!m_bDetached) {
            std::function<void(CTextPaneMemory&, uintptr_t)> fn = m_fnDone;
            lock.unlock();
            if (fn) {
                fn(m_pane, item.nPipe);
            }
            lock.lock();
            m_done.push_back(item.nPipe);
            m_cv.notify_all();
        }
        delete &item;
    }
}
