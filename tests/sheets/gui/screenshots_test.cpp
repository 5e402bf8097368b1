// Pictures of every page of both sheets and of the history list, for the
// README: QUORALITH_SCREENSHOT_DIR=$PWD/docs/screenshots writes them there
// (otherwise into a scratch folder, which still checks that each is taken).
#include "sheet_test_support.h"

#include "sheets/gui/match_names_page.h"
#include "shell/common/ui_seams.h"

#include <QCheckBox>
#include <QDir>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>

using namespace quoralith;
using namespace quoralith::test;

class ScreenshotsTest : public QObject {
    Q_OBJECT

private:
    QString out_;

    void shoot(QWidget& widget, const QString& name) {
        QCoreApplication::processEvents();
        QImage picture = widget.grab().toImage();
        QVERIFY(!picture.isNull());
        QVERIFY(picture.save(QDir(out_).filePath(name)));
    }

private slots:
    void pictures() {
        SheetFixture fixture;
        out_ = qEnvironmentVariable("QUORALITH_SCREENSHOT_DIR", fixture.path("shots"));
        QDir().mkpath(out_);
        fixture.mkdir(QStringLiteral("release-1.0"));
        fixture.mkdir(QStringLiteral("release-1.1"));
        const QString base = QStringLiteral("/srv/builds/release-1.0");
        const QString updated = QStringLiteral("/srv/builds/release-1.1");

        {
            auto sheet = fixture.open(true);
            QWidget* general = sheet->page(0);
            click(control<QRadioButton>(general, 1004));
            type_into(control<QLineEdit>(general, 1000), base);
            type_into(control<QLineEdit>(general, 1001), updated);
            type_into(control<QLineEdit>(general, 1002), QStringLiteral("/srv/deltas/1.0-to-1.1"));
            type_into(control<QLineEdit>(general, 1020), QStringLiteral("*.so"));
            type_into(control<QLineEdit>(general, 1009), QStringLiteral("/srv/deltas/report.log"));
            shoot(*sheet, QStringLiteral("sheet-create-general.png"));
            // Made wider, the sheet gives the room to the name fields.
            {
                const QSize least = sheet->size();
                type_into(control<QLineEdit>(general, 1002),
                          QStringLiteral("/srv/deltas/product-line/linux-x86_64/from-release-1.0-to-release-1.1"));
                sheet->resize(least + QSize(260, 0));
                shoot(*sheet, QStringLiteral("sheet-create-wide.png"));
                sheet->resize(least);
                type_into(control<QLineEdit>(general, 1002), QStringLiteral("/srv/deltas/1.0-to-1.1"));
            }
            activate_tab(*sheet, 1);
            click(control<QCheckBox>(sheet->page(1), 1015));
            click(control<QCheckBox>(sheet->page(1), 1007));
            shoot(*sheet, QStringLiteral("sheet-create-algorithms.png"));
            activate_tab(*sheet, 2);
            shoot(*sheet, QStringLiteral("sheet-create-advanced.png"));
            activate_tab(*sheet, 3);
            auto* matching = static_cast<CMatchNamsPage*>(sheet->page(3));
            click(control<QRadioButton>(matching, 1004));
            type_into(control<QLineEdit>(matching, 1000), QStringLiteral("/lib/libold.so"));
            type_into(control<QLineEdit>(matching, 1001), QStringLiteral("/lib/libnew.so"));
            click(control<QPushButton>(matching, 1081));
            type_into(control<QLineEdit>(matching, 1000), QStringLiteral("/bin/tool-1.0"));
            type_into(control<QLineEdit>(matching, 1001), QStringLiteral("/bin/tool-1.1"));
            click(control<QPushButton>(matching, 1081));
            QCOMPARE(matching->list()->count(), 2);
            shoot(*sheet, QStringLiteral("sheet-create-name-matching.png"));

            // Three recorded jobs whose long names differ only at their
            // ends, then the list: the names lose their middles, not their ends.
            activate_tab(*sheet, 0);
            const QString builds = QStringLiteral("/srv/builds/product-line/linux-x86_64/");
            const char* versions[] = {"1.1", "1.2", "1.3"};
            for (const char* version : versions) {
                const QString to = QString::fromLatin1(version);
                type_into(control<QLineEdit>(general, 1000), builds + QStringLiteral("release-1.0-for-") + to);
                type_into(control<QLineEdit>(general, 1001), builds + QStringLiteral("release-") + to);
                type_into(control<QLineEdit>(general, 1002),
                          QStringLiteral("/srv/deltas/product-line/linux-x86_64/1.0-to-") + to);
                fixture.now.tm_sec += 1;
                sheet->on_command(ID_RECORD);
            }
            sheet->on_command(ID_PLAY);
            QCOMPARE(sheet->history_list()->count(), 3);
            shoot(*sheet, QStringLiteral("sheet-history.png"));
        }
        {
            auto sheet = fixture.open(false);
            QWidget* general = sheet->page(0);
            type_into(control<QLineEdit>(general, 1000), QStringLiteral("/opt/app/app-1.0.bin"));
            type_into(control<QLineEdit>(general, 1001), QStringLiteral("/opt/app/app-1.1.bin"));
            type_into(control<QLineEdit>(general, 1002), QStringLiteral("/srv/deltas/app-1.1.dlt"));
            shoot(*sheet, QStringLiteral("sheet-restore-general.png"));
            activate_tab(*sheet, 1);
            shoot(*sheet, QStringLiteral("sheet-restore-advanced.png"));
        }
    }
};

QTEST_MAIN(ScreenshotsTest)
#include "screenshots_test.moc"
