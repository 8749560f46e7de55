// An output pane held in memory, with the semantics of the program's edit control, and a host that
// gives it an owner thread of its own. The console pipe's tests and benchmark run against it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "output-stage.h"
#include "owner-call-queue.h"
#include "text-pane.h"

// The pane's text, selection and attribute runs. Single-threaded: every member is called on one
// thread at a time (the host's owner thread). The limit is the multi-line control's maximum.
class CTextPaneMemory : public ITextPane {
public:
    int GetTextLength() const override { return static_cast<int>(m_text.size()); }
    unsigned GetLimitText() const override { return m_nLimit; }
    void GetSel(int* pnStart, int* pnEnd) const override;
    void SetSel(int nStart, int nEnd, bool bNoScroll = false) override;
    void ReplaceSel(const char16_t* pszText) override;
    int LineFromChar(int nIndex = -1) const override;
    int LineIndex(int nLine = -1) const override;
    void ScrollCaret() override {}
    // Inserts as ReplaceSel does and records the runs, moved to where the text went.
    void ReplaceSelStyled(const char16_t* pszText, const CTextAttrRun* pRuns, int nRuns) override;

    const std::vector<CTextAttrRun>& GetRuns() const { return m_runs; }
    // Sets the limit; 0 means the maximum. Text already held is kept.
    void SetLimitText(unsigned nLimit) { m_nLimit = nLimit ? nLimit : 0xFFFFFFFFu; }
    // Replaces the whole text (null: empty); the caret goes to 0 with nothing selected.
    void SetText(const char16_t* pszText);
    const std::u16string& GetText() const { return m_text; }

private:
    std::u16string m_text;  // lines end at CR LF pairs only, found by scanning
    int m_nSelStart = 0;    // selection, m_nSelStart <= m_nSelEnd
    int m_nSelEnd = 0;
    unsigned m_nLimit = 0xFFFFFFFFu;
    std::vector<CTextAttrRun> m_runs;
};

// Owner of a CTextPaneMemory: an owner thread that carries out the calls and notifications of the
// ITextPaneHost interface in order, the way a UI thread's event queue does. Share it through
// std::shared_ptr with the pipes that write to it.
class CTextPaneMemoryHost : public ITextPaneHost {
public:
    CTextPaneMemoryHost();
    // Detaches the pane and stops and joins the owner thread; pending calls are released with
    // false. Must not run on the owner thread.
    ~CTextPaneMemoryHost() override;
    CTextPaneMemoryHost(const CTextPaneMemoryHost&) = delete;
    CTextPaneMemoryHost& operator=(const CTextPaneMemoryHost&) = delete;

    bool Call(PaneFn pfn, void* pContext) override;
    bool IsPaneAlive() const override { return !m_queue.IsDetached(); }
    bool PostPipeDone(uintptr_t nPipe) override;
    // Hands the chunk over through a stage, as the window's pane does: the owner thread inserts
    // what waits in batches, before each queued item.
    bool AppendOutput(const CTextPaneOutput& chunk) override;
    // Here any thread may detach (the owner thread of a real pane is the only one that does).
    // Releases the waiting calls and drops the notifications and the waiting output.
    void Detach() override {
        m_queue.Detach();
        m_stage.Close();
    }

    // Runs fn(pane) on the owner thread and waits, also after Detach (the tests read the pane's
    // final state through it). Any thread but the owner's.
    void RunOnOwner(const std::function<void(CTextPaneMemory&)>& fn);
    // The pane's whole text, read on the owner thread.
    std::u16string Text();
    // Handler run on the owner thread for each end notification, before it is recorded (the view
    // writes its end line there). Set it before any pipe runs.
    void SetPipeDoneHandler(std::function<void(CTextPaneMemory&, uintptr_t)> fn);
    // Waits until at least nCount end notifications have been handled; false after nTimeoutMs.
    bool WaitPipeDone(size_t nCount, int nTimeoutMs);
    // The end notifications handled so far, in order.
    std::vector<uintptr_t> PipeDoneValues();

private:
    void OwnerLoop();
    // Inserts the output waiting in the stage; owner thread. True when there was some.
    bool InsertStaged();

    CTextPaneMemory m_pane;
    mutable std::mutex m_lock;
    std::condition_variable m_cv;  // the owner loop's wake, and handled end notifications
    std::function<void(CTextPaneMemory&, uintptr_t)> m_fnDone;
    std::vector<uintptr_t> m_done;
    bool m_bWoken = false;  // items were queued since the owner loop last looked
    bool m_bStop = false;
    COwnerCallQueue m_queue;  // the calls, owner functions and end notifications, in order
    COutputStage m_stage;     // output handed over, inserted before the queue's next item
    COutputBatch m_batch;     // owner thread
    std::thread m_owner;
};
