#include "wizard/wizard_folder_browser.h"

namespace quoralith {

// Placeholder until the sheets' folder browser is in: behaves as a cancel.
QString browse_wizard_folder(QWidget*, const QString&) { return {}; }

}  // namespace quoralith
