#include "text-pane-memory.h"

#include <algorithm>
#include <chrono>

// ---------------------------------------------------------------------------------------------
// CTextPaneMemory

void CTextPaneMemory::GetSel(int* pnStart, int* pnEnd) const {
    if (pnStart)
        *pnStart = m_nSelStart;
    if (pnEnd)
        *pnEnd = m_nSelEnd;
}

// The pipe selects only forward, within the text; a negative or too large end is the text's end.
void CTextPaneMemory::SetSel(int nStart, int nEnd, bool) {
    const int nLen = GetTextLength();
    m_nSelEnd = (nEnd < 0 || nEnd > nLen) ? nLen : nEnd;
    m_nSelStart = std::clamp(nStart, 0, m_nSelEnd);
}

void CTextPaneMemory::ReplaceSel(const char16_t* pszText) {
    const std::u16string_view text(pszText ? pszText : u"");
    // What the pane may still take once the selection is gone, in 64 bits so that a limit near
    // 0xFFFFFFFF cannot wrap.
    const int64_t nKept = GetTextLength() - (m_nSelEnd - m_nSelStart);
    const int64_t nRoom = std::max<int64_t>(0, static_cast<int64_t>(m_nLimit) - nKept);
    const size_t nLen = std::min<size_t>(text.size(), static_cast<size_t>(nRoom));
    m_text.replace(static_cast<size_t>(m_nSelStart), static_cast<size_t>(m_nSelEnd - m_nSelStart),
                   text.substr(0, nLen));
    m_nSelStart = m_nSelEnd = m_nSelStart + static_cast<int>(nLen);
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
    nIndex = std::min(nIndex < 0 ? m_nSelStart : nIndex, GetTextLength());
    int nLine = 0;
    for (size_t at = m_text.find(u"\r\n"); at != std::u16string::npos && at + 2 <= size_t(nIndex);
         at = m_text.find(u"\r\n", at + 2)) {
        ++nLine;
    }
    return nLine;
}

int CTextPaneMemory::LineIndex(int nLine) const {
    size_t at = 0;
    for (int i = nLine < 0 ? LineFromChar(m_nSelEnd) : nLine; i > 0; --i) {
        at = m_text.find(u"\r\n", at);
        if (at == std::u16string::npos) {
            return -1;
        }
        at += 2;
    }
    return static_cast<int>(at);
}

void CTextPaneMemory::SetText(const char16_t* pszText) {
    m_text = pszText ? pszText : u"";
    m_nSelStart = m_nSelEnd = 0;
}

// ---------------------------------------------------------------------------------------------
// CTextPaneMemoryHost

namespace {

// Work that runs a function on the owner thread.
struct COwnerFnWork : IOwnerWork {
    explicit COwnerFnWork(std::function<void()> fn) : m_fn(std::move(fn)) {}
    void Run() override { m_fn(); }
    std::function<void()> m_fn;
};

}  // namespace

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
    COwnerFnWork call([&] { pfn(m_pane, pContext); });
    return pfn && m_queue.Call(call);
}

bool CTextPaneMemoryHost::PostPipeDone(uintptr_t nPipe) {
    std::unique_ptr<IOwnerWork> pWork = std::make_unique<COwnerFnWork>([this, nPipe] {
        if (m_fnDone) {  // set before any pipe ran
            m_fnDone(m_pane, nPipe);
        }
        std::lock_guard<std::mutex> guard(m_lock);
        m_done.push_back(nPipe);
        m_cv.notify_all();
    });
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

void CTextPaneMemoryHost::RunOnOwner(const std::function<void(CTextPaneMemory&)>& fn) {
    COwnerFnWork work([&] { fn(m_pane); });
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
