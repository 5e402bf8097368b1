// The recent-names list of a path field: a small arrow at the right end of the
// edit (or Alt+Down in the edit) drops down the names the field's list holds,
// newest first; choosing one puts it into the edit as if it had been typed.
//
// Thread safety: user-interface thread only.
#pragma once

#include <QString>

#include <functional>

class QAction;
class QLineEdit;
class QMenu;

namespace quoralith {

// Gives `edit` the drop-down of recent-names list `list` (see recent_names.h).
// The list is read each time it drops down, so names a job added meanwhile
// are there.
void attach_recent_names(QLineEdit* edit, const QString& list);
// The same for a field whose list changes with the job (the wizard's name
// pages serve a different name under Create and Restore): `list` is asked
// for the list each time.
void attach_recent_names(QLineEdit* edit, std::function<QString()> list);

// The arrow and the menu attached to `edit` (null without them).
QAction* recent_names_action(const QLineEdit* edit);
QMenu* recent_names_menu(const QLineEdit* edit);

}  // namespace quoralith
