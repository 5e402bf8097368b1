// The Countless Opportunities dialog.
#include "shell/app/opportunities_dialog.h"

#include "shell/app/link_static.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

namespace quoralith {

namespace {

const char* const BETWEEN_FRIENDS[] = {"Software Downloads",  "Anti-Virus Updates", "Catalogs and Price Lists",
                                       "Periodical Reports",  "Company Profiles",   "Macro Statistics",
                                       "Calendars of Events", "Customer Details",   "Supplier Details"};
const int BETWEEN_FRIENDS_IDS[] = {1034, 1035, 1036, 1037, 1038, 1039, 1040, 1041, 1058};

const char* const INTRA_CORPORATE[] = {"Micro Statistics",   "Sales Information", "Human Resource Info",
                                       "Production Reports", "Inventory Reports", "R&D Results",
                                       "Customer Accounts",  "Supplier Accounts"};
const int INTRA_CORPORATE_IDS[] = {1050, 1051, 1052, 1053, 1054, 1055, 1056, 1057};

const char* const GROUP_BETWEEN_FRIENDS = " Between Friends && Inter-Corporate ";
const char* const GROUP_INTRA_CORPORATE = " Intra-Corporate ";

const char* const INVITATIONS[] = {
    "Please tell us about the great success and savings you have had by using Quoralith. ",
    "Those with fascinating stories will be invited to relate them in one of our worldwide conferences.",
    "Send your comments to:"};

// A group box title shows "&&" as "&"; compare what the user reads.
QString shown_text(const QString& raw) {
    QString text = raw;
    return text.replace(QStringLiteral("&&"), QStringLiteral("&"));
}

}  // namespace

QColor opportunity_text_colour(const QString& text) {
    for (const char* example : BETWEEN_FRIENDS)
        if (text == QLatin1String(example)) return QColor(128, 0, 128);
    for (const char* example : INTRA_CORPORATE)
        if (text == QLatin1String(example)) return QColor(128, 0, 128);
    if (text == shown_text(QString::fromLatin1(GROUP_BETWEEN_FRIENDS)) ||
        text == shown_text(QString::fromLatin1(GROUP_INTRA_CORPORATE)))
        return QColor(0, 128, 128);
    for (const char* line : INVITATIONS)
        if (text == QLatin1String(line)) return QColor(255, 0, 128);
    return QColor(64, 0, 255);
}

COpportunitiesDlg::COpportunitiesDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("141"));
    setWindowTitle(QStringLiteral("Countless Opportunities"));
    setFixedSize(640, 560);

    auto label = [this](const QString& text, int x, int y, int width, QWidget* parent = nullptr, int id = 0) {
        auto* item = new QLabel(text, parent ? parent : this);
        item->setTextFormat(Qt::PlainText);
        item->setGeometry(x, y, width, 18);
        if (id) item->setObjectName(QString::number(id));
        return item;
    };
    label(QStringLiteral("There are so many useful applications for Quoralith. Here are just a few examples of file "
                         "types that "),
          12, 10, 616);
    label(QStringLiteral("are constantly being updated - and Quoralith allows you to send or receive only the updated "
                         "material!"),
          12, 28, 616);

    auto* friends = new QGroupBox(QString::fromLatin1(GROUP_BETWEEN_FRIENDS), this);
    friends->setGeometry(12, 54, 300, 206);
    for (int i = 0; i < 9; ++i)
        label(QString::fromLatin1(BETWEEN_FRIENDS[i]), 16, 24 + i * 20, 270, friends, BETWEEN_FRIENDS_IDS[i]);
    auto* intra = new QGroupBox(QString::fromLatin1(GROUP_INTRA_CORPORATE), this);
    intra->setGeometry(328, 54, 300, 206);
    for (int i = 0; i < 8; ++i)
        label(QString::fromLatin1(INTRA_CORPORATE[i]), 16, 24 + i * 20, 270, intra, INTRA_CORPORATE_IDS[i]);

    label(QStringLiteral("...and so many others...Basically, Quoralith will work on any collection of bytes "
                         "including: "),
          12, 270, 616, nullptr, 1096);
    label(QStringLiteral("executable object code, data files, software source files, documents, graphic files, and zip "
                         "files."),
          12, 288, 616);
    label(QStringLiteral("Quoralith can also be built into your own applications as a component, so that your"), 12, 316,
          616);
    label(QStringLiteral("programs send and apply updates by themselves. We will gladly help you fit it into"), 12, 334,
          616);
    QLabel* ask = label(QStringLiteral("your product or service; tell us what you need at "), 12, 352, 300);
    ask->adjustSize();

    info_link_ = new CLinkStatic(QString::fromLatin1(INFO_MAIL_ADDRESS), this);
    info_link_->setObjectName(QStringLiteral("1097"));
    info_link_->setGeometry(12 + ask->width(), 352, 250, 18);

    label(QStringLiteral("To handle all of your downloading needs, use Quoralith built into ZRV - the fastest download "
                         "available- "),
          12, 380, 616);
    label(QStringLiteral("including total download management. "), 12, 398, 616);
    label(QString::fromLatin1(INVITATIONS[0]), 12, 426, 616, nullptr, 1102);
    label(QString::fromLatin1(INVITATIONS[1]), 12, 444, 616, nullptr, 1103);
    QLabel* send = label(QString::fromLatin1(INVITATIONS[2]), 12, 470, 200, nullptr, 1104);
    send->adjustSize();
    feedback_link_ = new CLinkStatic(QString::fromLatin1(FEEDBACK_MAIL_ADDRESS), this);
    feedback_link_->setObjectName(QStringLiteral("1099"));
    feedback_link_->setGeometry(20 + send->width(), 470, 250, 18);
    QLabel* read = label(QStringLiteral("Read about it:   "), 12, 494, 200);
    read->adjustSize();
    download_link_ = new CLinkStatic(QString::fromLatin1(DOWNLOAD_PAGE_ADDRESS), this);
    download_link_->setObjectName(QStringLiteral("1098"));
    download_link_->setGeometry(12 + read->width(), 494, 300, 18);

    auto* ok = new QPushButton(tr("OK"), this);
    ok->setObjectName(QStringLiteral("IDOK"));
    ok->setDefault(true);
    ok->setGeometry(550, 522, 78, 26);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    // The links show the bare addresses; the mail links open "mailto:" ones.
    for (CLinkStatic* link : {info_link_, download_link_, feedback_link_}) link->attach();
    info_link_->set_address(QStringLiteral("mailto:") + QString::fromLatin1(INFO_MAIL_ADDRESS));
    download_link_->set_address(QString::fromLatin1(DOWNLOAD_PAGE_ADDRESS));
    feedback_link_->set_address(QStringLiteral("mailto:") + QString::fromLatin1(FEEDBACK_MAIL_ADDRESS));
    for (CLinkStatic* link : {info_link_, download_link_, feedback_link_}) link->set_underline(true);
    apply_text_colours();
}

CLinkStatic* COpportunitiesDlg::link(int id) const {
    switch (id) {
        case 1097: return info_link_;
        case 1098: return download_link_;
        case 1099: return feedback_link_;
        default: return nullptr;
    }
}

void COpportunitiesDlg::apply_text_colours() {
    const QList<QLabel*> labels = findChildren<QLabel*>();
    for (QLabel* item : labels) {
        if (qobject_cast<CLinkStatic*>(item)) continue;
        QPalette colours = item->palette();
        colours.setColor(QPalette::WindowText, opportunity_text_colour(item->text()));
        item->setPalette(colours);
    }
    const QList<QGroupBox*> groups = findChildren<QGroupBox*>();
    for (QGroupBox* group : groups) {
        QColor colour = opportunity_text_colour(shown_text(group->title()));
        QPalette colours = group->palette();
        colours.setColor(QPalette::WindowText, colour);
        colours.setColor(QPalette::ButtonText, colour);
        group->setPalette(colours);
    }
}

}  // namespace quoralith
