// Path edits that accept dropped files.
#include "sheets/gui/path_edit.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

namespace quoralith {

PathEdit::PathEdit(QWidget* parent) : QLineEdit(parent) { setAcceptDrops(true); }

QString PathEdit::dropped_path(const QMimeData* mime) {
    if (!mime || !mime->hasUrls()) return {};
    for (const QUrl& url : mime->urls())
        if (url.isLocalFile()) return url.toLocalFile();
    return {};
}

void PathEdit::dragEnterEvent(QDragEnterEvent* event) {
    if (!dropped_path(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
        return;
    }
    QLineEdit::dragEnterEvent(event);
}

void PathEdit::dragMoveEvent(QDragMoveEvent* event) {
    if (!dropped_path(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
        return;
    }
    QLineEdit::dragMoveEvent(event);
}

void PathEdit::dropEvent(QDropEvent* event) {
    QString path = dropped_path(event->mimeData());
    if (path.isEmpty()) {
        QLineEdit::dropEvent(event);
        return;
    }
    // A folder's URL may end in "/"; the name is kept as a user would type it.
    if (path.size() > 1 && path.endsWith(QLatin1Char('/'))) path.chop(1);
    setText(path);
    setFocus(Qt::OtherFocusReason);
    event->acceptProposedAction();
}

}  // namespace quoralith
