// The folder browser as the wizard's pages ask for it.
#pragma once

#include <QString>

class QWidget;

namespace quoralith {

// Shows the folder browser with `title` and nothing preselected; the chosen
// folder, or an empty text when the user cancelled.
QString browse_wizard_folder(QWidget* parent, const QString& title);

}  // namespace quoralith
