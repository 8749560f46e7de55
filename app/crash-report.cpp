// vexil's crash reports (see crash-report.h).
#include "crash-report.h"

#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>
#include <memory>

#include "display-probe.h"
#include "orv-crash-report.h"
#include "orv-crash.h"
#include "orv-file.h"
#include "orv-log.h"
#include "orv-registry.h"
#include "orv-trace.h"
#include "orv-ui-thread.h"
#include "qt-ui-thread.h"

namespace {

// A text value under the product's key; empty when it is not set.
COrvStringA ProductSetting(const char16_t* pszName) {
    COrvRegKey key;
    COrvError err;
    COrvStringA sValue;
    if (!key.Open(enOrvHKeyCurrentUser, kOrvProductKey, ORV_KEY_READ, err) ||
        !key.QueryStringValueA(pszName, sValue, err))
        sValue.Empty();
    return sValue;
}

}  // namespace

void VexilInstallCrashReports(const std::string& strLogFolder) {
    g_orv_product_name = "Vexil";
    g_orv_interactive = 1;
    g_orv_identifier_text = "vexil";
    if (!strLogFolder.empty())
        g_orv_diag_paths.Add(COrvStringA(strLogFolder.c_str()));
    // No support server unless the product's settings name one.
    g_orv_support_host = ProductSetting(u"SupportServer");
    g_orv_support_roots = ProductSetting(u"SupportRoots");
    COrvError err;
    if (!OrvInstallCrashHandlers(err)) {
        g_orv_log.Printf("%s\n", err.Text().GetString());
        return;
    }
    OrvSetAssertHook(OrvAssertReport);
}

QDialog* VexilMakeCrashDialog(const char* pszKind, const char* pszZipPath) {
    auto* pDialog = new QDialog(nullptr, Qt::Dialog | Qt::WindowStaysOnTopHint |
                                             Qt::WindowTitleHint | Qt::WindowSystemMenuHint);
    pDialog->setWindowTitle(QString::fromUtf8(pszKind).left(31));
    auto* pLayout = new QVBoxLayout(pDialog);
    auto* pIntro = new QLabel(QString::fromUtf8(
        "Application crashed or asserted and will be closed now.\r\nClick OK to send a "
        "diagnostic file to help us fix the problem."));
    pIntro->setObjectName(QStringLiteral("intro"));
    auto* pNote = new QLabel(QStringLiteral(
        "If file cannot be uploaded, please attach it to ticket. This file will be sent:"));
    pNote->setObjectName(QStringLiteral("note"));
    const QString strZip = QString::fromUtf8(pszZipPath).left(2047);
    // The archive's path as a link: a click opens the folder that holds it.
    auto* pLink = new QLabel(
        QStringLiteral("<a href=\"%1\">%2</a>")
            .arg(QUrl::fromLocalFile(QFileInfo(strZip).absolutePath()).toString().toHtmlEscaped(),
                 strZip.toHtmlEscaped()));
    pLink->setObjectName(QStringLiteral("link"));
    pLink->setTextFormat(Qt::RichText);
    pLink->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    pLink->setToolTip(strZip);
    QObject::connect(pLink, &QLabel::linkActivated,
                     [](const QString& strUrl) { QDesktopServices::openUrl(QUrl(strUrl)); });
    auto* pTicket = new QCheckBox(
        QStringLiteral("Open Browser Window to create a ticket in Product Support System"));
    pTicket->setObjectName(QStringLiteral("ticket"));
    pTicket->setChecked(true);
    auto* pOk = new QPushButton(QStringLiteral("OK"));
    pOk->setObjectName(QStringLiteral("ok"));
    pOk->setDefault(true);
    QObject::connect(pOk, &QPushButton::clicked, pDialog, &QDialog::accept);
    for (QWidget* p : {static_cast<QWidget*>(pIntro), static_cast<QWidget*>(pNote),
                       static_cast<QWidget*>(pLink), static_cast<QWidget*>(pTicket)})
        pLayout->addWidget(p);
    pLayout->addWidget(pOk, 0, Qt::AlignRight);
    return pDialog;
}

namespace {

// The progress window of the crash sequence: a modeless window whose one label shows the latest
// line reported to it. The sequence blocks the event loop between lines, so each line is painted
// at once.
class CCrashProgress : public IOrvTransferObserver {
public:
    CCrashProgress(const char* pszTitle, const char* pszText) {
        m_window.setObjectName(QStringLiteral("crash-progress"));
        m_window.setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::CustomizeWindowHint);
        m_window.setWindowTitle(QString::fromUtf8(pszTitle));
        auto* pLayout = new QVBoxLayout(&m_window);
        m_pText = new QLabel(QString::fromUtf8(pszText));
        m_pText->setObjectName(QStringLiteral("progress"));
        m_pText->setWordWrap(true);
        m_pText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        pLayout->addWidget(m_pText);
        m_window.resize(470, 115);
        m_window.show();
        Paint();
    }
    bool OnProgress(int64_t, int, int&, COrvStringA&) override {
        Paint();
        return true;
    }
    void OnLog(int nLevel, const char* pszText) override {
        if (nLevel != 0)
            return;
        m_pText->setText(QString::fromUtf8(pszText));
        Paint();
    }
    bool ShouldAbort(int&, COrvStringA&) override { return false; }

private:
    static void Paint() { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); }

    QWidget m_window;
    QLabel* m_pText;
};

class CCrashWindows : public IOrvCrashWindows {
public:
    bool Open() override {
        if (QApplication::instance() == nullptr) {
            if (!VexilDisplayAvailable())
                return false;
            static int s_nArgc = 1;
            static char s_szName[] = "vexil";
            static char* s_apArgv[] = {s_szName, nullptr};
            new QApplication(s_nArgc, s_apArgv);  // lives until the reporting process ends
        }
        // Severe message boxes are shown through the library's UI thread.
        if (OrvGetUiThread() == nullptr)
            OrvSetUiThread(new CQtUiThread);
        return true;
    }
    int ShowDialog(const char* pszKind, const char* pszZipPath, bool& bTicket) override {
        std::unique_ptr<QDialog> dialog(VexilMakeCrashDialog(pszKind, pszZipPath));
        const int nResult = dialog->exec() == QDialog::Accepted ? 1 : 2;
        bTicket = dialog->findChild<QCheckBox*>(QStringLiteral("ticket"))->isChecked();
        return nResult;
    }
    IOrvTransferObserver* OpenProgress(const char* pszTitle, const char* pszText) override {
        return new CCrashProgress(pszTitle, pszText);
    }
};

}  // namespace

IOrvCrashWindows* VexilCrashWindows() {
    static CCrashWindows s_windows;
    return &s_windows;
}

bool VexilSupportConfigured() {
    return !g_orv_support_host.IsEmpty();
}

void VexilSendLogsToSupport(QWidget* pParent) {
    COrvStringA sTemp;
    COrvError err;
    bool bOk = OrvGetTempFolder(sTemp, err);
    if (bOk) {
        const COrvStringA sZip = sTemp + "/vexil-logs.zip";
        bOk = TvSendLogsToSupport(sZip, g_orv_support_host, "Vexil logs",
                                  "Logs sent from the program's Help command.", "", nullptr,
                                  OrvOpenUrlInBrowser, err);
    }
    if (bOk)
        QMessageBox::information(pParent, QStringLiteral("Vexil"),
                                 QStringLiteral("The logs were sent to support."));
    else
        QMessageBox::critical(pParent, QStringLiteral("Vexil"),
                              QString::fromUtf8(err.Text().GetString()));
}
