// The About box.
#include "shell/app/about_dialog.h"

#include "shell/app/link_static.h"
#include "shell/common/resource_picture.h"

#include <QIcon>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

namespace quoralith {

namespace {

// Paragraphs only; the edit wraps them to its width.
const char* const ABOUT_TEXT =
    "\n\n"
    "Binary deltas for files and whole directory trees: send the difference between two versions "
    "instead of the new version itself.\n\n"
    "Copyright (C) the Quoralith developers. Its pictures, sound and help pages were made for it.";

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("100"));
    setWindowTitle(QStringLiteral("About Quoralith"));
    setFixedSize(420, 330);

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("103"));
    icon->setPixmap(QIcon(QStringLiteral(":/icons/quoralith.png")).pixmap(32, 32));
    icon->setGeometry(12, 12, 32, 32);

    edit_ = new QPlainTextEdit(this);
    edit_->setObjectName(QStringLiteral("1000"));
    edit_->setReadOnly(true);
    edit_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    edit_->setGeometry(56, 12, 352, 100);
    edit_->setPlainText(QString::fromLatin1(VERSION_LINE) + QString::fromLatin1(ABOUT_TEXT));

    frame_ = new PictureFrame(this);
    frame_->setObjectName(QStringLiteral("1075"));
    frame_->setPictureId(IDB_ABOUT);

    web_ = new QPushButton(QString::fromLatin1(WEB_ADDRESS), this);
    web_->setObjectName(QStringLiteral("1006"));
    web_->setGeometry(12, 292, 230, 26);
    // The web site opens maximised; a failure to open it is not reported.
    connect(web_, &QPushButton::clicked, this, [] { open_url(QString::fromLatin1(WEB_ADDRESS), SW_SHOWMAXIMIZED); });

    auto* ok = new QPushButton(tr("OK"), this);
    ok->setObjectName(QStringLiteral("IDOK"));
    ok->setDefault(true);
    ok->setGeometry(330, 292, 78, 26);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    place_picture_frame();
    if (parent) move(parent->frameGeometry().center() - rect().center());
}

void CAboutDlg::place_picture_frame() {
    QRect edit = edit_->geometry();
    int x = (width() - ABOUT_PICTURE_WIDTH) / 2;
    int y = edit.y() + edit.height() + edit.width() / 25;
    frame_->setGeometry(x, y, ABOUT_PICTURE_WIDTH, ABOUT_PICTURE_HEIGHT);
    frame_->update();
}

void CAboutDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    place_picture_frame();
}

}  // namespace quoralith
