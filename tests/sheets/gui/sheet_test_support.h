// Helpers of the sheets' tests: a scratch place with its own working and
// configuration directories, the three job records a sheet works on, a job
// starter that records instead of running, and finders for page controls.
#pragma once

#include "sheets/gui/operation_sheet.h"

#include <QAbstractButton>
#include <QByteArray>
#include <QLineEdit>
#include <QString>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

namespace quoralith::test {

class SheetFixture {
public:
    SheetFixture();
    ~SheetFixture();

    // A path inside the scratch directory.
    QString path(const QString& name) const { return dir_.filePath(name); }
    std::string spath(const QString& name) const { return path(name).toStdString(); }
    void write(const QString& name, const QByteArray& bytes) const;
    void mkdir(const QString& name) const;

    // The sheet, built as the main window builds it, shown and initialised.
    std::unique_ptr<COperationSheet> open(bool create);
    SheetContext context();

    JobSettings defaults;
    JobSettings current;
    JobSettings backup;
    // Every job the sheets started, as they handed it over.
    std::vector<JobSettings> started;
    // Replaces the recording starter (real jobs).
    JobStarter starter;
    // The local time Record sees; moved by the tests.
    std::tm now{};

private:
    QTemporaryDir dir_;
    QString old_cwd_;
    QByteArray old_config_;
};

// A control of `page` by its id.
template <typename Widget = QWidget>
Widget* control(QWidget* page, int id) {
    return page->findChild<Widget*>(QString::number(id));
}

// Types `text` into an edit as a user would: select all, then type.
void type_into(QLineEdit* edit, const QString& text);
void click(QAbstractButton* button);
// Switches the sheet to tab `index` as a click on the tab would.
void activate_tab(COperationSheet& sheet, int index);

}  // namespace quoralith::test
