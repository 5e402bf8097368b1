// Scratch places and helpers for the sheets' tests.
#include "sheet_test_support.h"

#include "base/program_files.h"
#include "shell/common/ui_seams.h"

#include <QDir>
#include <QFile>
#include <QTabWidget>

namespace quoralith::test {

SheetFixture::SheetFixture() {
    QDir root(dir_.path());
    root.mkpath(QStringLiteral("cwd"));
    root.mkpath(QStringLiteral("config/quoralith"));
    old_cwd_ = QDir::currentPath();
    old_config_ = qgetenv("XDG_CONFIG_HOME");
    QDir::setCurrent(root.filePath(QStringLiteral("cwd")));
    qputenv("XDG_CONFIG_HOME", root.filePath(QStringLiteral("config")).toLocal8Bit());
    MessageBox::setTestMode(true);
    MessageBox::clearShown();
    FileDialog::clearRequests();
    now.tm_year = 126;
    now.tm_mon = 11;
    now.tm_mday = 7;
    now.tm_hour = 10;
    now.tm_min = 0;
    now.tm_sec = 1;
}

SheetFixture::~SheetFixture() {
    QDir::setCurrent(old_cwd_);
    qputenv("XDG_CONFIG_HOME", old_config_);
    MessageBox::clearShown();
    FileDialog::clearRequests();
    FileDialog::setNextFileName({});
    FileDialog::setNextFolder({});
}

void SheetFixture::write(const QString& name, const QByteArray& bytes) const {
    QFile file(path(name));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) file.write(bytes);
}

void SheetFixture::mkdir(const QString& name) const { QDir(dir_.path()).mkpath(name); }

SheetContext SheetFixture::context() {
    SheetContext context;
    context.defaults = &defaults;
    context.current = &current;
    context.backup = &backup;
    context.help_file = QStringLiteral(QUORALITH_SOURCE_DIR "/resources/help/Qrlith32.html");
    context.start_job = [this](QWidget* owner, JobSettings& job) {
        if (starter) return starter(owner, job);
        started.push_back(job);
        return 0;
    };
    context.clock = [this] { return now; };
    return context;
}

std::unique_ptr<COperationSheet> SheetFixture::open(bool create) {
    std::unique_ptr<COperationSheet> sheet = make_operation_sheet(create, context(), nullptr);
    sheet->show();
    return sheet;
}

void type_into(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    edit->selectAll();
    if (text.isEmpty())
        QTest::keyClick(edit, Qt::Key_Delete);
    else
        QTest::keyClicks(edit, text);
}

void click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(4, 4)); }

void activate_tab(COperationSheet& sheet, int index) { sheet.tabs()->setCurrentIndex(index); }

}  // namespace quoralith::test
