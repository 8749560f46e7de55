#include "about-box.h"

#include "command-line.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// A PNG image of the resources, read as PNG only: an icon given a file name, or a reader left to
// detect the format, asks every image-format plugin whether it knows the file, which loads all of
// them (and the libraries they use) while the window starts.
QPixmap ReadPng(const QString& strPath) {
    QImageReader reader(strPath, "png");
    reader.setAutoDetectImageFormat(false);
    return QPixmap::fromImage(reader.read());
}

}  // namespace

QIcon VexilProgramIcon() {
    QIcon icon;
    for (int nSize : {16, 24, 32, 48, 64, 72, 96, 128}) {
        icon.addPixmap(ReadPng(QStringLiteral(":/vexil/icons/vexil-%1.png").arg(nSize)));
    }
    return icon;
}

QIcon VexilPngIcon(const QString& strPath) {
    QIcon icon(ReadPng(strPath));
    QString strDouble = strPath;
    strDouble.insert(strDouble.lastIndexOf(u'.'), QStringLiteral("@2x"));
    if (QFile::exists(strDouble)) {
        QPixmap twice = ReadPng(strDouble);
        twice.setDevicePixelRatio(2);
        icon.addPixmap(twice);
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
