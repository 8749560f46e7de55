// The thread bridge of the output pane: the handle reader threads hold, which queues their calls
// and end notifications for the UI thread and stages their output for it.
#pragma once

#include <QEvent>
#include <memory>

#include "output-stage.h"
#include "owner-call-queue.h"
#include "text-pane.h"

class COutputPane;

// The pane's side of the handle a reader thread holds (ITextPaneHost). Calls and end
// notifications go into one queue, carried out in order on the UI thread by Drain; the caller of
// Call waits for its call. Output goes through a stage: the reader hands a chunk over and reads
// on, and the pane inserts what waits as one batch, before the next queued item and before it
// reads or changes its text itself. Created and detached by the pane; shared with the pipes, so
// it outlives the pane.
class CQtPaneHost : public ITextPaneHost, public std::enable_shared_from_this<CQtPaneHost> {
public:
    explicit CQtPaneHost(COutputPane* pPane);
    bool Call(PaneFn pfn, void* pContext) override;
    bool IsPaneAlive() const override;
    bool PostPipeDone(uintptr_t nPipe) override;
    bool AppendOutput(const CTextPaneOutput& chunk) override;
    void Detach() override;

    // Carries out the queued calls and notifications, each after the output handed over before
    // it, for at most one time slice, after which the event loop gets its turn (painting, input)
    // and the rest follows. UI thread only (the pane's drain event).
    void Drain();
    // Carries out a drain event posted by a host; false for any other event. UI thread only.
    static bool HandleEvent(QEvent* pEvent);
    // Moves the output waiting in the stage into batch; false (and the next chunk wakes the UI
    // thread) when none waits. UI thread only.
    bool TakeOutput(COutputBatch& batch) { return m_stage.TakeOrArm(batch); }
    // Whether the reader has got well ahead: so much waits that the next batch should follow
    // at the event loop's next turn rather than after the pane's polling interval.
    bool IsOutputBacklogged() const { return m_stage.WaitingUnits() >= m_stage.MaxUnits() / 4; }

private:
    COutputPane* const m_pPane;  // used only while the queue is attached
    COwnerCallQueue m_queue;     // woken by a drain event posted to the pane
    COutputStage m_stage;        // wakes through the queue
};
