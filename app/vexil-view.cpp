#include "vexil-view.h"

#include <QApplication>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMessageBox>
#include <QVBoxLayout>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "console-pipe.h"
#include "orv-replacing-file.h"
#include "orv-utf.h"

namespace {

const char16_t* Utf16(const QString& str) {
    return reinterpret_cast<const char16_t*>(str.utf16());
}

// A message box with one OK button and no icon, owned by pOwner.
void ShowMessage(QWidget* pOwner, const QString& strText, const QString& strCaption,
                 QMessageBox::Icon icon = QMessageBox::NoIcon) {
    QMessageBox box(icon, strCaption, strText, QMessageBox::Ok, pOwner);
    box.exec();
}

// The command field's hint, shown while the field is empty and not focused.
const QString kPlaceholder = QStringLiteral("<enter command here>");

// Units of UTF-16 converted and written at a time by SaveLog.
constexpr int kSaveBlock = 64 * 1024;

// The name of a signal as a user knows it ("SIGTERM"); the number when it has none.
QString SignalName(int nSignal) {
    const char* pszAbbrev = sigabbrev_np(nSignal);
    if (pszAbbrev == nullptr) {
        return QStringLiteral("signal %1").arg(nSignal);
    }
    return QStringLiteral("SIG") + QString::fromLatin1(pszAbbrev);
}

}  // namespace

QString VexilDurationText(qint64 nMs) {
    nMs = std::max<qint64>(0, nMs);
    if (nMs < 10000) {
        // tenths, rounded down so that "3.4 s" is never shown before 3.4 s have passed
        return QStringLiteral("%1.%2 s").arg(nMs / 1000).arg(nMs / 100 % 10);
    }
    const qint64 nSeconds = nMs / 1000;
    if (nSeconds < 60) {
        return QStringLiteral("%1 s").arg(nSeconds);
    }
    if (nSeconds < 3600) {
        return QStringLiteral("%1 min %2 s").arg(nSeconds / 60).arg(nSeconds % 60);
    }
    return QStringLiteral("%1 h %2 min").arg(nSeconds / 3600).arg(nSeconds / 60 % 60);
}

QString VexilRunningText(qint64 nElapsedMs) {
    const qint64 nSeconds = std::max<qint64>(0, nElapsedMs) / 1000;
    return QStringLiteral("Running for ") +
           (nSeconds < 60 ? QStringLiteral("%1 s").arg(nSeconds) : VexilDurationText(nElapsedMs));
}

namespace {

// "Stopped (SIGTERM)", "Stopped (exit code 1)": how a command ended by Stop went.
QString StoppedText(const CPipeExit& exit) {
    return exit.kind == CPipeExit::EKind::Signalled
               ? QStringLiteral("Stopped (%1)").arg(SignalName(exit.nCode))
               : QStringLiteral("Stopped (exit code %1)").arg(exit.nCode);
}

}  // namespace

QString VexilStoppedHeldText(const CPipeExit& exit, qint64 nElapsedMs) {
    return StoppedText(exit) +
           QStringLiteral("; a process that left its group keeps the output open (%1)")
               .arg(VexilDurationText(nElapsedMs));
}

QString VexilExitText(const CPipeExit& exit, qint64 nElapsedMs) {
    const QString strAfter = QStringLiteral(" after ") + VexilDurationText(nElapsedMs);
    const QString strCore = exit.bCoreDumped ? QStringLiteral(" (core dumped)") : QString();
    switch (exit.kind) {
        case CPipeExit::EKind::Exited:
            if (exit.bStopRequested) {
                return StoppedText(exit) + strAfter;
            }
            return QStringLiteral("Exit code %1").arg(exit.nCode) + strAfter;
        case CPipeExit::EKind::Signalled:
            if (exit.bStopRequested) {
                return StoppedText(exit) + strCore + strAfter;
            }
            return QStringLiteral("Killed by %1").arg(SignalName(exit.nCode)) + strCore + strAfter;
        case CPipeExit::EKind::RunsOn:
            return QStringLiteral("Output ended") + strAfter +
                   QStringLiteral("; the command closed it and still runs");
        case CPipeExit::EKind::Unknown:
            break;
    }
    return QStringLiteral("Ended") + strAfter;
}

CVexilView::CVexilView(QWidget* pParent) : QWidget(pParent) {
    m_edtCommand = new CCommandField(this);
    m_edtCommand->setObjectName(QStringLiteral("command"));
    m_edtCommand->setPlaceholderText(kPlaceholder);
    m_edtCommand->installEventFilter(this);
    m_btnRun = new QPushButton(QStringLiteral("Run"), this);
    m_btnRun->setObjectName(QStringLiteral("run"));
    m_btnRun->setDefault(true);
    m_btnRun->setAutoDefault(false);
    m_edtOutput = new COutputPane(this);
    m_edtOutput->setObjectName(QStringLiteral("output"));
    m_pFindBar = new CFindBar(m_edtOutput);

    // The command field grows with the width, Run keeps its size at the right edge, and the pane
    // takes the rest of the width and all of the height.
    const int nUnitX = std::max(1, fontMetrics().averageCharWidth()) / 4;
    auto* pRow = new QHBoxLayout;
    pRow->setContentsMargins(4 * nUnitX, 4, 3 * nUnitX, 0);
    pRow->setSpacing(2);
    pRow->addWidget(m_edtCommand, 1);
    pRow->addWidget(m_btnRun, 0);
    m_btnRun->setMinimumWidth(std::max(m_btnRun->sizeHint().width(), 50 * nUnitX));
    auto* pColumn = new QVBoxLayout(this);
    pColumn->setContentsMargins(0, 0, 0, 0);
    pColumn->setSpacing(4);
    pColumn->addLayout(pRow);
    pColumn->addWidget(m_edtOutput, 1);

    setTabOrder(m_edtCommand, m_btnRun);
    setTabOrder(m_btnRun, m_edtOutput);
    // No default focus: the field shows its placeholder until the user clicks or tabs into it.
    setFocusPolicy(Qt::NoFocus);

    m_statusTimer.setInterval(1000);
    connect(&m_statusTimer, &QTimer::timeout, this, [this] { SetStatus(RunningStatus()); });

    connect(m_btnRun, &QPushButton::clicked, this, &CVexilView::OnRun);
    connect(m_edtOutput, &COutputPane::PipeDone, this, &CVexilView::OnPipeDone);
}

CVexilView::~CVexilView() = default;

void CVexilView::SetCommand(const QString& strCommand) {
    m_edtCommand->SetCommand(strCommand);
}

void CVexilView::Clear() {
    m_edtOutput->SetText(u"", 0);
}

void CVexilView::AppendText(const char16_t* pszText) {
    m_edtOutput->InsertWaitingOutput();  // the pipe's output handed over so far comes first
    TextPaneAppend(*m_edtOutput, pszText);
}

void CVexilView::keyPressEvent(QKeyEvent* pEvent) {
    // Enter anywhere in the view presses the default button, as long as it is enabled.
    if (pEvent->key() == Qt::Key_Return || pEvent->key() == Qt::Key_Enter) {
        if (m_btnRun->isEnabled()) {
            OnRun();
        }
        return;
    }
    QWidget::keyPressEvent(pEvent);
}

bool CVexilView::eventFilter(QObject* pObject, QEvent* pEvent) {
    // A line edit keeps its placeholder while it has the focus; this one shows it only without.
    if (pObject == m_edtCommand) {
        if (pEvent->type() == QEvent::KeyPress) {
            const auto* pKey = static_cast<QKeyEvent*>(pEvent);
            if ((pKey->key() == Qt::Key_Up || pKey->key() == Qt::Key_Down) &&
                (pKey->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
                WalkHistory(pKey->key() == Qt::Key_Up);
                return true;
            }
        } else if (pEvent->type() == QEvent::FocusIn) {
            m_edtCommand->setPlaceholderText(QString());
        } else if (pEvent->type() == QEvent::FocusOut) {
            m_edtCommand->setPlaceholderText(kPlaceholder);
            // A line edit cuts its text at 32767 characters unless told otherwise, and the cut
            // command would run: commands are as long as the user makes them.
            m_edtCommand->setMaxLength(std::numeric_limits<int>::max());
        }
    }
    return QWidget::eventFilter(pObject, pEvent);
}

void CVexilView::OnRun() {
    const QString strCommand = m_edtCommand->Command();
    if (strCommand.isEmpty()) {
        Tell(QStringLiteral("Please enter a command to run"), QStringLiteral("vexil"));
        m_edtCommand->setFocus();
        return;
    }
    // The history writes its file on a thread of its own; a history that cannot be saved is no
    // reason not to run the command.
    m_history.Add(strCommand.toStdString());
    // The banner goes first, so that a command that fails to start still leaves it.
    AppendText(Utf16(QStringLiteral("--- ") + strCommand + QStringLiteral(" ---\n")));
    if (m_pPipe != nullptr) {
        // An interactive pipe takes the text as an input line; a running one-shot pipe refuses.
        if (m_pPipe->Run(Utf16(strCommand)) == kPipeUnencodable) {
            ShowUnencodable(strCommand);
        }
        return;
    }
    m_pPipe = new (std::nothrow)
        CTvConsolePipe(true, m_edtOutput->Host(), m_bInteractive ? CPIPE_INTERACTIVE : 0);
    if (m_pPipe == nullptr) {
        Tell(QStringLiteral("Failed to create pipe"), QStringLiteral("Error"));
        return;
    }
    m_pExitReport = m_pPipe->ExitReport();
    const int nResult = m_pPipe->Run(Utf16(strCommand));
    if (nResult == 0) {
        if (!m_bInteractive) {
            m_btnRun->setEnabled(false);
        }
        m_elapsed.start();
        m_statusTimer.start();
        SetStatus(VexilRunningText(0));
        emit RunningChanged(true);
        return;
    }
    m_pExitReport.reset();
    delete m_pPipe;
    m_pPipe = nullptr;
    if (nResult == kPipeUnencodable) {
        ShowUnencodable(strCommand);
    } else {
        Tell(QStringLiteral("Can't execute that!"), QStringLiteral("vexil"));
    }
    m_edtCommand->selectAll();
    m_edtCommand->setFocus();
}

void CVexilView::ShowUnencodable(const QString& strCommand) {
    // Names the first character that has no place in the set, as the user typed it.
    const char* pszCharset = PipeChildCharset();
    COrvStringA bytes;
    int nAt = -1;
    QString strChar;
    if (!PipeEncode(Utf16(strCommand), -1, pszCharset, bytes, &nAt) && nAt >= 0 &&
        nAt < strCommand.size()) {
        const bool bPair = strCommand.at(nAt).isHighSurrogate() && nAt + 1 < strCommand.size();
        strChar = strCommand.mid(nAt, bPair ? 2 : 1);
    }
    QString strCode;
    if (!strChar.isEmpty()) {
        const QString strHex =
            QString::number(strChar.toUcs4().value(0), 16).toUpper().rightJustified(4, u'0');
        strCode = QStringLiteral(" \"%1\" (U+%2)").arg(strChar, strHex);
    }
    Tell(QStringLiteral("The command was not run: it contains the character%1, which the "
                        "character set of the current locale (%2) cannot represent.")
             .arg(strCode, QString::fromUtf8(pszCharset)),
         QStringLiteral("vexil"));
}

void CVexilView::Tell(const QString& strText, const QString& strCaption) {
    if (!m_bHoldMessages) {
        ShowMessage(this, strText, strCaption);
        return;
    }
    QTimer::singleShot(0, this,
                       [this, strText, strCaption] { ShowMessage(this, strText, strCaption); });
}

void CVexilView::RunBeforeShown() {
    m_bHoldMessages = true;
    OnRun();
    m_bHoldMessages = false;
}

void CVexilView::OnPipeDone(quintptr) {
    // The end line starts a line of its own, also after output that did not end its last line.
    const COutputText& text = m_edtOutput->Text();
    const int nLen = text.GetLength();
    const bool bLineOpen = nLen > 0 && !(nLen >= 2 && text.Data(nLen - 2)[0] == u'\r' &&
                                         text.Data(nLen - 1)[0] == u'\n');
    AppendText(bLineOpen ? u"\n--- End of Log ---\n\n" : u"--- End of Log ---\n\n");
    // The pipe has destroyed itself (or is about to): forget it without touching it.
    m_pPipe = nullptr;
    m_btnRun->setEnabled(true);
    m_statusTimer.stop();
    if (m_pExitReport) {
        const CPipeExit exit = m_pExitReport->Get();
        SetStatus(VexilExitText(exit, m_elapsed.elapsed()));
        m_pExitReport.reset();
        m_nLastExitStatus = exit.kind == CPipeExit::EKind::Exited      ? exit.nCode
                            : exit.kind == CPipeExit::EKind::Signalled ? 128 + exit.nCode
                                                                       : 0;
    }
    emit RunningChanged(false);
    emit PipeFinished();
}

void CVexilView::Stop() {
    if (m_pPipe != nullptr) {
        m_pPipe->Stop();
    }
}

QString CVexilView::RunningStatus() const {
    // Stop ends the command's process group; a process that left it on purpose (setsid) runs on,
    // as in a terminal, and the end line waits for it to close the output.
    if (m_pExitReport) {
        const CPipeExit exit = m_pExitReport->Get();
        if (exit.bStopRequested &&
            (exit.kind == CPipeExit::EKind::Exited || exit.kind == CPipeExit::EKind::Signalled)) {
            return VexilStoppedHeldText(exit, m_elapsed.elapsed());
        }
    }
    return VexilRunningText(m_elapsed.elapsed());
}

void CVexilView::SetStatus(const QString& strStatus) {
    if (strStatus != m_strStatus) {
        m_strStatus = strStatus;
        emit StatusChanged(m_strStatus);
    }
}

bool CVexilView::WalkHistory(bool bOlder) {
    std::string strEntry;
    if (bOlder ? !m_history.Older(m_edtCommand->Command().toStdString(), strEntry)
               : !m_history.Newer(strEntry)) {
        return false;
    }
    m_edtCommand->SetCommand(QString::fromStdString(strEntry));
    return true;
}

bool CVexilView::SaveLog(const char* pszPath, COrvStringA& strError) {
    // The text goes to a temporary file first: an existing file is replaced only once all of it
    // is written, so a full disk or any other failure leaves it as it was.
    m_edtOutput->InsertWaitingOutput();  // every chunk handed over so far is saved
    COrvError err;
    COrvReplacingFile file;
    if (!file.Open(pszPath, err)) {
        strError = err.Text();
        return false;
    }
    // The text is read in one pass, straight from the pane, and written as UTF-8 block by block;
    // a block never ends between the two halves of a surrogate pair.
    const COutputText& text = m_edtOutput->Text();
    const int nLen = text.GetLength();
    const char16_t* p = text.Data();
    std::vector<char> buffer(static_cast<size_t>(kSaveBlock) * 3 + 1);
    for (int nPos = 0; nPos < nLen;) {
        int n = std::min(kSaveBlock, nLen - nPos);
        if (nPos + n < nLen && p[nPos + n - 1] >= 0xD800 && p[nPos + n - 1] <= 0xDBFF) {
            --n;
        }
        const int nBytes =
            OrvUtf16ToUtf8(p + nPos, n, true, buffer.data(), static_cast<int>(buffer.size()));
        if (!file.Write(buffer.data(), static_cast<size_t>(nBytes), err)) {
            strError = err.Text();
            return false;
        }
        nPos += n;
    }
    if (!file.Commit(err)) {
        strError = err.Text();
        return false;
    }
    return true;
}

void CVexilView::Save(QWidget* pOwner) {
    QFileDialog dialog(QApplication::activeWindow());
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(QStringLiteral("txt"));
    dialog.selectFile(QStringLiteral("vexil.txt"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return;
    }
    const QByteArray path = dialog.selectedFiles().first().toUtf8();
    COrvStringA strError;
    if (!SaveLog(path.constData(), strError)) {
        ShowMessage(pOwner, QString::fromUtf8(strError.GetString()),
                    QStringLiteral("Cannot save file"), QMessageBox::Critical);
    }
}
