// The help viewer and its keyword index.
#include "shell/common/help_viewer.h"

#include "shell/common/ui_seams.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace quoralith {

namespace {

const char* const HELP_CAPTION = "Quoralith Help";

QPointer<HelpViewer>& viewer_slot() {
    static QPointer<HelpViewer> viewer;
    return viewer;
}

// The modal dialog that help is asked for under: the asking widget's own
// window when that is modal, else whatever modal dialog is up.
QWidget* modal_owner(QWidget* asker) {
    if (asker) {
        QWidget* window = asker->window();
        if (window->isModal() || window->windowModality() != Qt::NonModal) return window;
    }
    return QApplication::activeModalWidget();
}

// A modal dialog blocks every window but itself and its own child windows.
// Help asked for while one is up becomes that dialog's child window, so that
// it stands above the dialog and can be read, scrolled and closed while the
// dialog waits; with no modal dialog it is a window of its own again.
void attach_viewer(HelpViewer* viewer, QWidget* asker) {
    QWidget* owner = modal_owner(asker);
    if (owner == viewer || viewer->parentWidget() == owner) return;
    const bool was_visible = viewer->isVisible();
    const QSize size = viewer->size();
    viewer->setParent(owner, Qt::Dialog);
    viewer->resize(size);
    if (was_visible) viewer->show();
}

}  // namespace

QMap<QString, QString> read_help_keywords(const QString& help_directory) {
    QMap<QString, QString> index;
    static const QRegularExpression meta(
        QStringLiteral("<meta\\s+name=\"keywords\"\\s+content=\"([^\"]*)\""),
        QRegularExpression::CaseInsensitiveOption);
    QDir directory(help_directory);
    const QStringList pages = directory.entryList({QStringLiteral("*.html")}, QDir::Files, QDir::Name);
    for (const QString& name : pages) {
        QFile file(directory.filePath(name));
        if (!file.open(QIODevice::ReadOnly)) continue;
        // Keywords sit in the head; the first few kilobytes hold it.
        QString head = QString::fromUtf8(file.read(8192));
        QRegularExpressionMatch match = meta.match(head);
        if (!match.hasMatch()) continue;
        const QStringList keywords = match.captured(1).split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (QString keyword : keywords) {
            // Keywords keep their inner blanks ("Play  Button" has two).
            keyword = keyword.trimmed().replace(QStringLiteral("&amp;"), QStringLiteral("&"));
            if (!keyword.isEmpty() && !index.contains(keyword)) index.insert(keyword, directory.filePath(name));
        }
    }
    return index;
}

QString help_topic_for_keyword(const QString& contents_path, const QString& keyword) {
    QMap<QString, QString> index = read_help_keywords(QFileInfo(contents_path).absolutePath());
    if (auto it = index.constFind(keyword); it != index.constEnd()) return it.value();
    const QString wanted = keyword.trimmed();
    for (auto it = index.constBegin(); it != index.constEnd(); ++it)
        if (it.key().compare(wanted, Qt::CaseInsensitive) == 0) return it.value();
    return {};
}

HelpViewer::HelpViewer(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("HelpViewer"));
    setWindowTitle(QString::fromLatin1(HELP_CAPTION));
    setAttribute(Qt::WA_DeleteOnClose, false);
    // Help stays beside the program but never keeps it running once the main
    // window has closed.
    setAttribute(Qt::WA_QuitOnClose, false);
    browser_ = new QTextBrowser(this);
    browser_->setObjectName(QStringLiteral("HelpBrowser"));
    browser_->setOpenExternalLinks(true);
    auto* contents = new QPushButton(tr("&Contents"), this);
    auto* back = new QPushButton(tr("&Back"), this);
    auto* close = new QPushButton(tr("Close"), this);
    connect(contents, &QPushButton::clicked, this, [this] {
        if (!contents_.isEmpty()) show_page(contents_);
    });
    connect(back, &QPushButton::clicked, browser_, &QTextBrowser::backward);
    connect(browser_, &QTextBrowser::backwardAvailable, back, &QPushButton::setEnabled);
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    back->setEnabled(false);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(contents);
    buttons->addWidget(back);
    buttons->addStretch();
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(buttons);
    layout->addWidget(browser_);
    resize(640, 520);
}

HelpViewer* HelpViewer::instance() {
    QPointer<HelpViewer>& slot = viewer_slot();
    if (!slot) slot = new HelpViewer;
    return slot;
}

HelpViewer* HelpViewer::instance_for(QWidget* asker) {
    HelpViewer* viewer = instance();
    attach_viewer(viewer, asker);
    return viewer;
}

void HelpViewer::show_page(const QString& page) {
    // The Contents button goes to the contents page of the folder shown.
    QString candidate = QFileInfo(page).absoluteDir().filePath(QString::fromLatin1(HELP_CONTENTS_FILE));
    if (QFileInfo::exists(candidate)) contents_ = candidate;
    browser_->setSearchPaths({QFileInfo(page).absolutePath()});
    browser_->setSource(QUrl::fromLocalFile(QFileInfo(page).absoluteFilePath()));
    show();
    raise();
    activateWindow();
}

QUrl HelpViewer::current_page() const { return browser_->source(); }

void close_help() {
    if (HelpViewer* viewer = viewer_slot()) viewer->close();
}

bool show_help_contents(QWidget* parent, const QString& contents_path) {
    if (contents_path.isEmpty() || !QFileInfo(contents_path).isReadable()) {
        MessageBox::show(parent, QStringLiteral("Cannot find the help file %1.").arg(contents_path),
                         QString::fromLatin1(HELP_CAPTION), MessageIcon::Warning);
        return false;
    }
    HelpViewer::instance_for(parent)->show_page(contents_path);
    return true;
}

bool show_help_keyword(QWidget* parent, const QString& contents_path, const QString& keyword) {
    QString page = help_topic_for_keyword(contents_path, keyword);
    if (page.isEmpty()) {
        if (!show_help_contents(parent, contents_path)) return false;
        HelpViewer::instance()->setWindowTitle(
            QStringLiteral("%1 - no topic for \"%2\"").arg(QString::fromLatin1(HELP_CAPTION), keyword));
        return false;
    }
    HelpViewer* viewer = HelpViewer::instance_for(parent);
    viewer->setWindowTitle(QString::fromLatin1(HELP_CAPTION));
    viewer->show_page(page);
    return true;
}

}  // namespace quoralith
