// The folder browser.
#include "shell/folder_browser.h"

#include "shell/ui_seams.h"

#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

namespace quoralith {

CFolderBrowser::CFolderBrowser(const QString& caption, const QString& preselected, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("FolderBrowser"));
    setWindowTitle(caption);
    heading_ = new QLabel(this);  // the heading is empty
    heading_->setObjectName(QStringLiteral("heading"));
    model_ = new QFileSystemModel(this);
    model_->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
    model_->setRootPath(QStringLiteral("/"));
    tree_ = new QTreeView(this);
    tree_->setObjectName(QStringLiteral("folders"));
    tree_->setModel(model_);
    tree_->setHeaderHidden(true);
    for (int column = 1; column < model_->columnCount(); ++column) tree_->hideColumn(column);
    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("status"));
    status_->setWordWrap(true);
    buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons_, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(tree_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current, const QModelIndex&) { selection_changed(current); });

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(heading_);
    layout->addWidget(tree_, 1);
    layout->addWidget(status_);
    layout->addWidget(buttons_);
    resize(420, 460);
    select_path(preselected);
}

void CFolderBrowser::select_path(const QString& path) {
    QModelIndex index = path.isEmpty() ? QModelIndex() : model_->index(path);
    if (index.isValid()) {
        tree_->setCurrentIndex(index);
        tree_->scrollTo(index);
    }
    // The tree may not report a change (same index, or none); the status
    // follows the path asked for either way.
    show_status(index.isValid() ? model_->filePath(index) : path);
}

void CFolderBrowser::selection_changed(const QModelIndex& current) {
    show_status(current.isValid() ? model_->filePath(current) : QString());
}

void CFolderBrowser::show_status(const QString& path) {
    bool real = !path.isEmpty() && QFileInfo(path).isDir();
    selected_ = real ? path : QString();
    status_->setText(real ? path : QString::fromLatin1(NOT_A_REAL_FOLDER));
    buttons_->button(QDialogButtonBox::Ok)->setEnabled(real);
}

QString CFolderBrowser::status_text() const { return status_->text(); }
bool CFolderBrowser::ok_enabled() const { return buttons_->button(QDialogButtonBox::Ok)->isEnabled(); }

bool BrowseForFolder(QWidget* parent, QString& path) {
    QString chosen = FileDialog::getFolder(parent, QString::fromLatin1(BROWSE_FOLDER_CAPTION), path);
    if (chosen.isEmpty()) return false;
    path = chosen;
    return true;
}

}  // namespace quoralith
