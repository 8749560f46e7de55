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

struct CQtUiThread::CSendState {
    IOrvUiTask* pTask = nullptr;
    bool bDone = false;
};

CQtUiThread::CQtUiThread() : m_uiThread(std::this_thread::get_id()) {
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
    std::deque<CItem> dropped;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_bClosed) {
            return;
        }
        m_bClosed = true;
        dropped.swap(m_queue);
        m_timers.clear();
    }
    m_sent.notify_all();
    for (CItem& item : dropped) {
        if (item.bOwned) {
            delete item.pTask;
        }
    }
}

bool CQtUiThread::IsUiThread() const {
    return std::this_thread::get_id() == m_uiThread;
}

void CQtUiThread::WakeLocked() {
    if (!m_bWakePosted) {
        m_bWakePosted = true;
        QCoreApplication::postEvent(this, new QEvent(kWakeEvent));
    }
}

bool CQtUiThread::Enqueue(CItem&& item) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_bClosed) {
        return false;
    }
    m_queue.push_back(std::move(item));
    WakeLocked();
    return true;
}

OrvUiPostStatus CQtUiThread::Post(IOrvUiTask* pTask) {
    if (pTask == nullptr) {
        return enOrvUiClosed;
    }
    CItem item;
    item.pTask = pTask;
    item.bOwned = true;
    return Enqueue(std::move(item)) ? enOrvUiPosted : enOrvUiClosed;
}

bool CQtUiThread::Send(IOrvUiTask& task) {
    if (IsUiThread()) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_bClosed) {
                return false;
            }
        }
        task.Run();
        return true;
    }
    auto pSend = std::make_shared<CSendState>();
    pSend->pTask = &task;
    CItem item;
    item.pSend = pSend;
    if (!Enqueue(std::move(item))) {
        return false;
    }
    std::unique_lock<std::mutex> guard(m_lock);
    m_sent.wait(guard, [&] { return pSend->bDone || m_bClosed; });
    return pSend->bDone;
}

OrvUiPostStatus CQtUiThread::PostMessage(IOrvUiWindow* pWnd, unsigned nMsg, uintptr_t wParam,
                                         intptr_t lParam) {
    if (pWnd == nullptr) {
        return enOrvUiClosed;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_bClosed) {
        return enOrvUiClosed;
    }
    CItem item;
    item.pWnd = pWnd;
    auto it = m_epochs.find(pWnd);
    item.nEpoch = it == m_epochs.end() ? 0 : it->second;
    item.nMsg = nMsg;
    item.wParam = wParam;
    item.lParam = lParam;
    m_queue.push_back(item);
    WakeLocked();
    return enOrvUiPosted;
}

bool CQtUiThread::StartTimer(IOrvUiWindow* pWnd, unsigned nTimerId, unsigned nIntervalMs) {
    if (pWnd == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_bClosed) {
        return false;
    }
    CTimer& timer = m_timers[TimerKey(pWnd, nTimerId)];
    timer.nIntervalMs = std::max(1u, nIntervalMs);
    timer.due = Clock::now() + std::chrono::milliseconds(timer.nIntervalMs);
    // the wake re-arms the Qt timer on the UI thread
    WakeLocked();
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

bool CQtUiThread::RunOneItem() {
    CItem item;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_queue.empty()) {
            return false;
        }
        item = std::move(m_queue.front());
        m_queue.pop_front();
        if (item.pWnd != nullptr) {
            auto it = m_epochs.find(item.pWnd);
            if ((it == m_epochs.end() ? 0 : it->second) != item.nEpoch) {
                return true;  // the window was forgotten after this was posted: dropped
            }
        }
    }
    if (item.pSend) {
        item.pSend->pTask->Run();
        {
            std::lock_guard<std::mutex> guard(m_lock);
            item.pSend->bDone = true;
        }
        m_sent.notify_all();
    } else if (item.pTask != nullptr) {
        item.pTask->Run();
        delete item.pTask;
    } else {
        item.pWnd->OnMessage(item.nMsg, item.wParam, item.lParam);
    }
    return true;
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
    return RunOneItem() || RunOneTimer();
}

bool CQtUiThread::event(QEvent* pEvent) {
    if (pEvent->type() != kWakeEvent) {
        return QObject::event(pEvent);
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_bWakePosted = false;
    }
    // Run queued items for one slice, then give Qt's own events a turn; what is left gets a new
    // wake, which Qt delivers after the events already waiting.
    const Clock::time_point start = Clock::now();
    while (RunOneItem()) {
        if (Clock::now() - start > kDrainSlice) {
            break;
        }
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_queue.empty() && !m_bClosed) {
            WakeLocked();
        }
    }
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
