// A line edit for a file or folder name that also takes a name dropped from a
// file manager: the dropped file's local path replaces the text, exactly as if
// it had been typed.
#pragma once

#include <QLineEdit>

class QMimeData;

namespace quoralith {

class PathEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit PathEdit(QWidget* parent = nullptr);

    // The local path a drop of `mime` would put into the edit, or empty when
    // it carries no local file.
    static QString dropped_path(const QMimeData* mime);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
};

}  // namespace quoralith
