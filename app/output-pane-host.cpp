#include "output-pane-host.h"

#include <QCoreApplication>
#include <chrono>

#include "output-pane.h"

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

bool CQtPaneHost::HandleEvent(QEvent* pEvent) {
    if (pEvent->type() != kDrainEvent) {
        return false;
    }
    static_cast<CDrainEvent*>(pEvent)->m_pHost->Drain();
    return true;
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
