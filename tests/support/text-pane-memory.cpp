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

CTextPaneMemoryHost::CTextPaneMemoryHost()
    : m_queue([this] {
          std::lock_guard<std::mutex> guard(m_lock);
          m_bWoken = true;
          m_cv.notify_all();
      }),
      m_stage([this] { m_queue.Wake(); }),
      m_owner([this] { OwnerLoop(); }) {
    m_queue.SetOwnerThread(m_owner.get_id());
}

CTextPaneMemoryHost::~CTextPaneMemoryHost() {
    Detach();
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_bStop = true;
    }
    m_cv.notify_all();
    m_owner.join();
}

bool CTextPaneMemoryHost::Call(PaneFn pfn, void* pContext) {
    if (!pfn) {
        return false;
    }
    struct CCall : IOwnerWork {
        CTextPaneMemoryHost* pHost;
        PaneFn pfn;
        void* pContext;
        void Run() override { pfn(pHost->m_pane, pContext); }
    } call;
    call.pHost = this;
    call.pfn = pfn;
    call.pContext = pContext;
    return m_queue.Call(call);
}

bool CTextPaneMemoryHost::IsPaneAlive() const {
    return !m_queue.IsDetached();
}

bool CTextPaneMemoryHost::PostPipeDone(uintptr_t nPipe) {
    struct CPipeDone : IOwnerWork {
        CTextPaneMemoryHost* pHost;
        uintptr_t nPipe;
        void Run() override {
            std::function<void(CTextPaneMemory&, uintptr_t)> fn;
            {
                std::lock_guard<std::mutex> guard(pHost->m_lock);
                fn = pHost->m_fnDone;
            }
            if (fn) {
                fn(pHost->m_pane, nPipe);
            }
            std::lock_guard<std::mutex> guard(pHost->m_lock);
            pHost->m_done.push_back(nPipe);
            pHost->m_cv.notify_all();
        }
    };
    auto pDone = std::make_unique<CPipeDone>();
    pDone->pHost = this;
    pDone->nPipe = nPipe;
    std::unique_ptr<IOwnerWork> pWork = std::move(pDone);
    return m_queue.Post(pWork);
}

bool CTextPaneMemoryHost::AppendOutput(const CTextPaneOutput& chunk) {
    if (m_queue.IsOwnerThread()) {
        if (m_queue.IsDetached()) {
            return false;
        }
        InsertStaged();
        TextPaneInsertOutput(m_pane, chunk);
        return true;
    }
    return m_stage.Put(chunk);
}

bool CTextPaneMemoryHost::InsertStaged() {
    if (!m_stage.TakeOrArm(m_batch)) {
        return false;
    }
    for (size_t i = 0; i < m_batch.ChunkCount(); ++i) {
        TextPaneInsertOutput(m_pane, m_batch.Chunk(i));
    }
    return true;
}

void CTextPaneMemoryHost::Detach() {
    // Releases the waiting calls and drops the notifications and the waiting output; owner
    // functions still run.
    m_queue.Detach();
    m_stage.Close();
}

void CTextPaneMemoryHost::RunOnOwner(const std::function<void(CTextPaneMemory&)>& fn) {
    struct COwnerFn : IOwnerWork {
        CTextPaneMemory* pPane;
        const std::function<void(CTextPaneMemory&)>* pfn;
        void Run() override { (*pfn)(*pPane); }
    } work;
    work.pPane = &m_pane;
    work.pfn = &fn;
    m_queue.Call(work, true);
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

void CTextPaneMemoryHost::OwnerLoop() {
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_cv.wait(lock, [&] { return m_bStop || m_bWoken; });
        m_bWoken = false;
        const bool bStop = m_bStop;
        lock.unlock();
        m_queue.OwnerWoke();
        // Output handed over before an item is in the pane before the item runs; once nothing
        // waits, the stage wakes this loop for the next chunk.
        while (InsertStaged() || m_queue.HasPending()) {
            if (m_queue.HasPending()) {
                m_queue.RunOne([this] { InsertStaged(); });
            }
        }
        lock.lock();
        if (bStop && !m_queue.HasPending()) {
            return;  // stopping, nothing left
        }
    }
}
