#include "qt-ui-thread.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QMessageBox>
#include <QWidget>
#include <algorithm>

namespace {

const QEvent::Type kWakeEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

// How long one wake may run queued items before it yields to Qt's own events (input, paint).
constexpr auto kDrainSlice = std::chrono::milliseconds(8);

// The message-box style bits the library uses.
constexpr unsigned kMbTypeMask = 0xF;
constexpr unsigned kMbOkCancel = 1;
constexpr unsigned kMbAbortRetryIgnore = 2;
constexpr unsigned kMbYesNoCancel = 3;
constexpr unsigned kMbYesNo = 4;
constexpr unsigned kMbRetryCancel = 5;
constexpr unsigned kMbIconMask = 0xF0;
constexpr unsigned kMbIconError = 0x10;
constexpr unsigned kMbIconQuestion = 0x20;
constexpr unsigned kMbIconWarning = 0x30;
constexpr unsigned kMbIconInformation = 0x40;

}  // namespace

CQtUiThread::CQtUiThread()
    : m_queue([this] { QCoreApplication::postEvent(this, new QEvent(kWakeEvent)); }) {
    m_tickTimer.setSingleShot(true);
    connect(&m_tickTimer, &QTimer::timeout, this, [this] {
        // deliver every tick that is due now, then wait for the next one
        const Clock::time_point now = Clock::now();
        for (int n = 0; n < 64 && RunOneTimer(); ++n) {
            if (Clock::now() - now > kDrainSlice) {
                break;
            }
        }
        ArmTimer();
    });
}

CQtUiThread::~CQtUiThread() {
    Close();
}

void CQtUiThread::Close() {
    m_queue.Detach();
    std::lock_guard<std::mutex> guard(m_lock);
    m_timers.clear();
}

bool CQtUiThread::IsUiThread() const {
    return m_queue.IsOwnerThread();
}

OrvUiPostStatus CQtUiThread::Post(IOrvUiTask* pTask) {
    if (pTask == nullptr) {
        return enOrvUiClosed;
    }
    struct CPosted : IOwnerWork {
        IOrvUiTask* pTask = nullptr;
        ~CPosted() override { delete pTask; }
        void Run() override { pTask->Run(); }
    };
    auto pPosted = std::make_unique<CPosted>();
    pPosted->pTask = pTask;
    std::unique_ptr<IOwnerWork> pWork = std::move(pPosted);
    if (!m_queue.Post(pWork)) {
        static_cast<CPosted*>(pWork.get())->pTask = nullptr;  // refused: still the caller's
        return enOrvUiClosed;
    }
    return enOrvUiPosted;
}

bool CQtUiThread::Send(IOrvUiTask& task) {
    struct CSent : IOwnerWork {
        IOrvUiTask* pTask;
        void Run() override { pTask->Run(); }
    } sent;
    sent.pTask = &task;
    return m_queue.Call(sent);
}

OrvUiPostStatus CQtUiThread::PostMessage(IOrvUiWindow* pWnd, unsigned nMsg, uintptr_t wParam,
                                         intptr_t lParam) {
    if (pWnd == nullptr) {
        return enOrvUiClosed;
    }
    // Delivered unless the window is forgotten (its epoch bumped) after it was posted.
    struct CMessage : IOwnerWork {
        CQtUiThread* pUi = nullptr;
        IOrvUiWindow* pWnd = nullptr;
        uint64_t nEpoch = 0;
        unsigned nMsg = 0;
        uintptr_t wParam = 0;
        intptr_t lParam = 0;
        void Run() override {
            if (pUi->EpochOf(pWnd) == nEpoch) {
                pWnd->OnMessage(nMsg, wParam, lParam);
            }
        }
    };
    auto pMessage = std::make_unique<CMessage>();
    pMessage->pUi = this;
    pMessage->pWnd = pWnd;
    pMessage->nEpoch = EpochOf(pWnd);
    pMessage->nMsg = nMsg;
    pMessage->wParam = wParam;
    pMessage->lParam = lParam;
    std::unique_ptr<IOwnerWork> pWork = std::move(pMessage);
    return m_queue.Post(pWork) ? enOrvUiPosted : enOrvUiClosed;
}

uint64_t CQtUiThread::EpochOf(IOrvUiWindow* pWnd) const {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_epochs.find(pWnd);
    return it == m_epochs.end() ? 0 : it->second;
}

bool CQtUiThread::StartTimer(IOrvUiWindow* pWnd, unsigned nTimerId, unsigned nIntervalMs) {
    if (pWnd == nullptr) {
        return false;
    }
    if (m_queue.IsDetached()) {
        return false;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    CTimer& timer = m_timers[TimerKey(pWnd, nTimerId)];
    timer.nIntervalMs = std::max(1u, nIntervalMs);
    timer.due = Clock::now() + std::chrono::milliseconds(timer.nIntervalMs);
    // the wake re-arms the Qt timer on the UI thread
    m_queue.Wake();
    return true;
}

bool CQtUiThread::StopTimer(IOrvUiWindow* pWnd, unsigned nTimerId) {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_timers.erase(TimerKey(pWnd, nTimerId)) > 0;
}

void CQtUiThread::ForgetWindow(IOrvUiWindow* pWnd) {
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_epochs[pWnd];
    for (auto it = m_timers.begin(); it != m_timers.end();) {
        it = it->first.first == pWnd ? m_timers.erase(it) : std::next(it);
    }
}

bool CQtUiThread::RunOneTimer() {
    TimerKey key;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const Clock::time_point now = Clock::now();
        auto due = m_timers.end();
        for (auto it = m_timers.begin(); it != m_timers.end(); ++it) {
            if (it->second.due <= now &&
                (due == m_timers.end() || it->second.due < due->second.due)) {
                due = it;
            }
        }
        if (due == m_timers.end()) {
            return false;
        }
        key = due->first;
        // a late timer fires once: the next tick is one interval from now
        due->second.due = now + std::chrono::milliseconds(due->second.nIntervalMs);
    }
    key.first->OnTimer(key.second);
    return true;
}

void CQtUiThread::ArmTimer() {
    Clock::time_point next = Clock::time_point::max();
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const auto& entry : m_timers) {
            next = std::min(next, entry.second.due);
        }
    }
    if (next == Clock::time_point::max()) {
        m_tickTimer.stop();
        return;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
    m_tickTimer.start(static_cast<int>(std::max<long long>(0, wait.count())));
}

bool CQtUiThread::PumpOne() {
    return m_queue.RunOne() || RunOneTimer();
}

bool CQtUiThread::event(QEvent* pEvent) {
    if (pEvent->type() != kWakeEvent) {
        return QObject::event(pEvent);
    }
    m_queue.OwnerWoke();
    // Run queued items for one slice, then give Qt's own events a turn; what is left gets a new
    // wake, which Qt delivers after the events already waiting.
    const Clock::time_point start = Clock::now();
    while (m_queue.RunOne()) {
        if (Clock::now() - start > kDrainSlice) {
            break;
        }
    }
    m_queue.RewakeIfPending();
    ArmTimer();
    return true;
}

int CQtUiThread::ShowMessageBox(const char* pszTitle, const char* pszMessage, unsigned nStyle) {
    if (!IsUiThread()) {
        // shown by the UI thread while this thread waits
        struct CBoxTask : IOrvUiTask {
            CQtUiThread* pUi;
            const char* pszTitle;
            const char* pszMessage;
            unsigned nStyle;
            int nResult = 0;
            void Run() override { nResult = pUi->ShowMessageBox(pszTitle, pszMessage, nStyle); }
        } task;
        task.pUi = this;
        task.pszTitle = pszTitle;
        task.pszMessage = pszMessage;
        task.nStyle = nStyle;
        return Send(task) ? task.nResult : 0;
    }
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        return 0;
    }
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(QString::fromUtf8(pszTitle != nullptr ? pszTitle : ""));
    box.setText(QString::fromUtf8(pszMessage != nullptr ? pszMessage : ""));
    switch (nStyle & kMbIconMask) {
        case kMbIconError:
            box.setIcon(QMessageBox::Critical);
            break;
        case kMbIconQuestion:
            box.setIcon(QMessageBox::Question);
            break;
        case kMbIconWarning:
            box.setIcon(QMessageBox::Warning);
            break;
        case kMbIconInformation:
            box.setIcon(QMessageBox::Information);
            break;
        default:
            break;
    }
    switch (nStyle & kMbTypeMask) {
        case kMbOkCancel:
            box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
            break;
        case kMbAbortRetryIgnore:
            box.setStandardButtons(QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore);
            break;
        case kMbYesNoCancel:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
            break;
        case kMbYesNo:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            break;
        case kMbRetryCancel:
            box.setStandardButtons(QMessageBox::Retry | QMessageBox::Cancel);
            break;
        default:
            box.setStandardButtons(QMessageBox::Ok);
            break;
    }
    switch (box.exec()) {
        case QMessageBox::Ok:
            return 1;
        case QMessageBox::Cancel:
            return 2;
        case QMessageBox::Abort:
            return 3;
        case QMessageBox::Retry:
            return 4;
        case QMessageBox::Ignore:
            return 5;
        case QMessageBox::Yes:
            return 6;
        case QMessageBox::No:
            return 7;
        default:
            return 2;  // closed without a button: as Cancel
    }
}
