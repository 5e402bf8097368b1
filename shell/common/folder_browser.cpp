// The folder browser.
#include "shell/common/folder_browser.h"

#include "shell/common/ui_seams.h"

#include <QDialogButtonBox>
#include <QDir>
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
    // An output folder may not exist yet: the browser can make one inside the
    // folder selected, which the user names in the tree.
    new_folder_ = buttons_->addButton(tr("&New Folder"), QDialogButtonBox::ActionRole);
    new_folder_->setObjectName(QStringLiteral("NewFolder"));
    connect(new_folder_, &QPushButton::clicked, this, [this] { make_new_folder(); });
    model_->setReadOnly(false);
    tree_->setEditTriggers(QAbstractItemView::NoEditTriggers);  // only a new folder is named in place
    connect(model_, &QFileSystemModel::fileRenamed, this,
            [this](const QString& folder, const QString&, const QString& name) {
                select_path(QDir(folder).filePath(name));
            });
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
    new_folder_->setEnabled(real && QFileInfo(path).isWritable());
}

QString CFolderBrowser::make_new_folder() {
    if (selected_.isEmpty()) return {};
    const QDir parent(selected_);
    const QString base = tr("New Folder");
    QString name = base;
    for (int number = 2; parent.exists(name) && number < 1000; ++number)
        name = QStringLiteral("%1 (%2)").arg(base).arg(number);
    if (!parent.mkdir(name)) {
        MessageBox::show(this, tr("The folder %1 could not be made.").arg(parent.filePath(name)), windowTitle(),
                         MessageIcon::Warning);
        return {};
    }
    const QString made = parent.filePath(name);
    select_path(made);
    const QModelIndex index = model_->index(made);
    if (index.isValid()) tree_->edit(index);
    return made;
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
