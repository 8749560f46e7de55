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

// The crash dialog: the kind as its title, the texts, the archive's path as a link that opens its
// folder, and the ticket check box (checked at start). Owned by the caller.
QDialog* VexilMakeCrashDialog(const char* pszKind, const char* pszZipPath);
// Shows the crash dialog modally (making the application object when there is none): 1 for OK,
// 2 for Cancel, 0 when no display is available; bTicket gets the check box's state.
int VexilCrashDialog(const char* pszKind, const char* pszZipPath, bool& bTicket);

// Whether a support server is configured (then the frame offers "Send logs to support...").
bool VexilSupportConfigured();
// Packs and sends the logs, with message boxes for the outcome.
void VexilSendLogsToSupport(QWidget* pParent);
