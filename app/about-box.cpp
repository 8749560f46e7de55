#include "about-box.h"

#include "command-line.h"

#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

QIcon VexilProgramIcon() {
    QIcon icon;
    for (int nSize : {16, 24, 32, 48, 64, 72, 96, 128}) {
        icon.addFile(QStringLiteral(":/vexil/icons/vexil-%1.png").arg(nSize), QSize(nSize, nSize));
    }
    return icon;
}

// ---- CAboutDlg ------------------------------------------------------------------------------

CAboutDlg::CAboutDlg(QWidget* pParent) : QDialog(pParent) {
    setWindowTitle(QStringLiteral("About"));
    auto* pGroup = new QGroupBox(this);
    auto* pIcon = new QLabel(pGroup);
    pIcon->setPixmap(VexilProgramIcon().pixmap(32, 32));
    pIcon->setAlignment(Qt::AlignCenter);
    auto* pText = new QLabel(
        QStringLiteral("vexil Application v%1\n\nRuns a command and shows its output live.")
            .arg(VexilVersion()),
        pGroup);
    pText->setObjectName(QStringLiteral("text"));
    pText->setAlignment(Qt::AlignCenter);
    auto* pGroupLayout = new QVBoxLayout(pGroup);
    pGroupLayout->addWidget(pIcon);
    pGroupLayout->addWidget(pText);

    auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Ok, Qt::Vertical, this);
    pButtons->button(QDialogButtonBox::Ok)->setDefault(true);
    connect(pButtons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* pLayout = new QHBoxLayout(this);
    pLayout->addWidget(pGroup, 1);
    pLayout->addWidget(pButtons, 0, Qt::AlignBottom);
    setFixedSize(sizeHint());
}
