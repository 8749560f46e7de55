// vexil's crash reports: the handlers installed at start-up, the crash dialog that the crash
// helper (vexil in its crash-report mode) shows, and "Send logs to support...".
#pragma once

#include <string>

class QDialog;
class QWidget;

// Sets the crash settings (product name, the log folder as diagnostic path, the support server
// from the product's settings store) and installs the handlers. A failure is logged; the program
// runs on without crash reports.
void VexilInstallCrashReports(const std::string& strLogFolder);

class IOrvCrashWindows;

// The crash dialog: the kind as its title, the texts, the archive's path as a link that opens its
// folder, and the ticket check box (checked at start). Owned by the caller.
QDialog* VexilMakeCrashDialog(const char* pszKind, const char* pszZipPath);
// The windows of vexil's crash-report mode: the application object and the UI thread made when
// first needed (in the reporting process, never in the crashed one), the crash dialog shown
// modally, and the progress window (object name "crash-progress", its text in the label
// "progress").
IOrvCrashWindows* VexilCrashWindows();

// Whether a support server is configured (then the frame offers "Send logs to support...").
bool VexilSupportConfigured();
// Packs and sends the logs, with message boxes for the outcome.
void VexilSendLogsToSupport(QWidget* pParent);
