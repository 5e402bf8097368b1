// The Tell Your Friends dialog.
#include "mail/gui/tell_friend_dialog.h"

#include "mail/gui/send_mail_dialog.h"

#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace quoralith {

namespace {

const char* const INTRODUCTION =
    "  Quoralith sends only what changed. When a file or a whole folder gets a new\r\n"
    "  version, it makes a small delta that holds just the difference from the old one;\r\n"
    "  whoever has the old version rebuilds the new one from it, byte for byte.\r\n"
    "  Made by the Quoralith developers.\r\n";

}  // namespace

QString tell_friend_text(int id) {
    switch (id) {
        case 1000:
            return QString::fromLatin1(INTRODUCTION) +
                   QStringLiteral("\r\n  The more friends and colleagues you have that use Quoralith,\r\n"
                                  "  the more time and money you save in sending and receiving files over the "
                                  "internet.\r\n") +
                   QStringLiteral("\r\n  Tell your friends!");
        case 1001:
            return QStringLiteral("\r\n  Beat the Bandwidth and Take The Quoralith Test. \r\n"
                                  "  Notify your friend and colleagues about Quoralith now and start enjoying "
                                  "speedy file transfers today.");
        case 1002:
            return QStringLiteral("  Click the ''Mail'' button below") +
                   QStringLiteral(" and you will get directly into the mail client.\r\n") +
                   QStringLiteral("  Just type in your friend's address and let them know about Quoralith.");
        default: return {};
    }
}

QColor tell_friend_colour(int id) { return id == 1001 ? QColor(128, 0, 0) : QColor(64, 0, 255); }

CTellFriendDlg::CTellFriendDlg(const QString& options_file, const QString& registry_file, QWidget* parent)
    : QDialog(parent), options_file_(options_file), registry_file_(registry_file) {
    setObjectName(QStringLiteral("140"));
    setWindowTitle(QStringLiteral("Tell Your Friends"));

    auto* layout = new QVBoxLayout(this);
    // Tall enough for each text, so that no box needs a scroll bar.
    const int heights[] = {170, 76, 60};
    for (int i = 0; i < 3; ++i) {
        int id = 1000 + i;
        auto* box = new QPlainTextEdit(this);
        box->setObjectName(QString::number(id));
        box->setReadOnly(true);
        // The box shows each CR LF as one line break.
        box->setPlainText(tell_friend_text(id).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
        QPalette colours = box->palette();
        colours.setColor(QPalette::Text, tell_friend_colour(id));
        box->setPalette(colours);
        box->setLineWrapMode(QPlainTextEdit::NoWrap);
        box->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        box->setMinimumWidth(690);
        if (i == 0)
            box->setMinimumHeight(heights[i]);
        else
            box->setFixedHeight(heights[i]);
        if (i > 0) box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        layout->addWidget(box, i == 0 ? 1 : 0);
        boxes_[i] = box;
    }

    mail_ = new QPushButton(QStringLiteral("Mail"), this);
    mail_->setObjectName(QStringLiteral("1091"));
    mail_->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("2"));
    cancel->setAutoDefault(false);
    connect(mail_, &QPushButton::clicked, this, [this] { open_send_mail(); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(mail_);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
}

QPlainTextEdit* CTellFriendDlg::box(int id) const {
    return id >= 1000 && id <= 1002 ? boxes_[id - 1000] : nullptr;
}

CSendMailDlg* CTellFriendDlg::open_send_mail() {
    // A child window of this dialog, so that it takes input while this
    // dialog is modal.
    auto* form = new CSendMailDlg(options_file_, registry_file_, this);
    forms_.append(form);
    form->show();
    return form;
}

QList<CSendMailDlg*> CTellFriendDlg::send_mail_dialogs() const {
    QList<CSendMailDlg*> open;
    for (const QPointer<CSendMailDlg>& form : forms_)
        if (form) open.append(form.data());
    return open;
}

CTellFriendDlg::~CTellFriendDlg() { release_forms(); }

void CTellFriendDlg::done(int result) {
    release_forms();
    QDialog::done(result);
}

void CTellFriendDlg::release_forms() {
    // Open forms, and the sends running in them, go on after this dialog.
    for (CSendMailDlg* form : send_mail_dialogs()) {
        QPoint place = form->pos();
        form->setParent(parentWidget(), form->windowFlags());
        form->move(place);
        form->show();
    }
    forms_.clear();
}

}  // namespace quoralith
