// The about box and the program's icon.
#pragma once

#include <QDialog>
#include <QIcon>

// The about box: the program icon, "vexil Application v1.0", an empty line and a notice line, and
// a default OK button; Escape closes it too.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* pParent = nullptr);
};

// The program's icon in every size the program ships.
QIcon VexilProgramIcon();
