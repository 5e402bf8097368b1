// The folder browser: a tree of the file system in which the user picks one
// folder. Only folders that have a file-system path can be taken; for any
// other selection the status line says so and OK stays disabled. New Folder
// makes a folder to be named in place, for an output that does not exist yet.
//
// Thread safety: user-interface thread only.
#pragma once

#include <QDialog>
#include <QString>

class QDialogButtonBox;
class QFileSystemModel;
class QLabel;
class QModelIndex;
class QPushButton;
class QTreeView;

namespace quoralith {

// The caption of the folder browser the sheets and the wizard open.
inline constexpr const char* BROWSE_FOLDER_CAPTION = "Browse Folder";
// The status line for anything that is not a folder of the file system.
inline constexpr const char* NOT_A_REAL_FOLDER = "*** Only 'real' file folders can be selected ***";

class CFolderBrowser : public QDialog {
    Q_OBJECT
public:
    // `preselected` is selected when it names a folder.
    CFolderBrowser(const QString& caption, const QString& preselected, QWidget* parent = nullptr);

    // Selects `path` as if the user had clicked it: a folder gets its path in
    // the status line and enables OK; anything else (an empty path, a file, a
    // name that does not exist) shows NOT_A_REAL_FOLDER and disables OK.
    void select_path(const QString& path);
    // The folder chosen, empty when the selection is not a real folder.
    QString selected_folder() const { return selected_; }
    QString status_text() const;
    bool ok_enabled() const;
    // New Folder: makes a folder inside the one selected ("New Folder", or
    // "New Folder (2)" and so on when taken), selects it and opens its name
    // for editing in the tree. Returns its path, or empty when none was made
    // (nothing selected, or the file system refused; the user is told).
    QString make_new_folder();

private:
    void selection_changed(const QModelIndex& current);
    void show_status(const QString& path);

    QFileSystemModel* model_ = nullptr;
    QTreeView* tree_ = nullptr;
    QLabel* heading_ = nullptr;
    QLabel* status_ = nullptr;
    QDialogButtonBox* buttons_ = nullptr;
    QPushButton* new_folder_ = nullptr;
    QString selected_;
};

// The sheets' and the wizard's folder browser: asks for a folder under the
// caption "Browse Folder" with `path` preselected. OK puts the folder into
// `path` and returns true; Cancel leaves `path` as it was and returns false.
bool BrowseForFolder(QWidget* parent, QString& path);

}  // namespace quoralith
