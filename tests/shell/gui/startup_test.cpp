// Start-up, the options file and the main window's commands, driven as a user
// would drive them, headless.
#include "gui_test_support.h"

#include "base/profile_file.h"
#include "shell/app/commands.h"
#include "shell/app/main_frame.h"
#include "shell/app/morvane_app.h"
#include "shell/app/morvane_doc.h"
#include "shell/app/morvane_view.h"
#include "shell/common/ui_seams.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPainter>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <QWindow>

#include <memory>

using namespace quoralith;
using namespace quoralith::test;

namespace {

std::uint32_t stripes(int x, int) { return x % 2 ? 0xFF0000u : 0x0000FFu; }

std::string ini_text(const QString& file, const char* section, const char* key) {
    return profile_read_text(file.toStdString(), section, key, "<missing>", 128);
}

}  // namespace

class StartupTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Sandbox> sandbox_;
    std::unique_ptr<CMorvaneApp> app_;
    FakeAudioOutput audio_;

    CMorvaneApp& start() {
        app_ = std::make_unique<CMorvaneApp>();
        app_->init_instance();
        return *app_;
    }
    // A second run of the program in the same places.
    CMorvaneApp& restart() {
        app_.reset();
        return start();
    }
    CMainFrame& frame() { return *app_->main_frame(); }

private slots:
    void init() {
        sandbox_ = std::make_unique<Sandbox>();
        audio_ = FakeAudioOutput{};
        audio_.device = false;
        set_audio_output(&audio_);
    }
    void cleanup() {
        app_.reset();
        set_audio_output(nullptr);
        sandbox_.reset();
    }

    void firstStartWritesFourKeysInTheConfigDirectoryOnly() {
        CMorvaneApp& app = start();
        const QString ini = sandbox_->config("Qralith.ini");
        QCOMPARE(app.options_file_path(), ini);
        QVERIFY(!QFile::exists(sandbox_->cwd("Qralith.ini")));
        QCOMPARE(ini_text(ini, "Options", "EnableSound"), "1");
        QCOMPARE(ini_text(ini, "Options", "EnableBitmap"), "1");
        QCOMPARE(ini_text(ini, "View", "ToolBar"), "1");
        QCOMPARE(ini_text(ini, "View", "StatusBar"), "1");
        QCOMPARE(app.EnableSound, 1);
        QCOMPARE(app.EnableBitmap, 1);
        QVERIFY(!frame().tool_bar()->isHidden());
        QVERIFY(!frame().statusBar()->isHidden());
        QVERIFY(frame().action(ID_OPTIONS_SOUND)->isChecked());
        QVERIFY(frame().action(ID_OPTIONS_PICTURE)->isChecked());
        // The three job records start at their defaults.
        QCOMPARE(app.current.Algorithms[7], 1);
        QCOMPARE(app.backup.Stamp, 1);
    }

    void aWorkingDirectoryThatCannotTakeTheFileSendsItToTheConfigDirectory() {
        QVERIFY(QDir().mkdir(sandbox_->cwd("Qralith.ini")));  // the name is taken by a folder
        CMorvaneApp& app = start();
        const QString ini = sandbox_->config("Qralith.ini");
        QCOMPARE(app.options_file_path(), ini);
        QCOMPARE(ini_text(ini, "View", "StatusBar"), "1");
        frame().dispatch(ID_OPTIONS_SOUND);
        CMorvaneApp& again = restart();
        QCOMPARE(again.options_file_path(), ini);
        QCOMPARE(again.EnableSound, 0);
        QCOMPARE(again.EnableBitmap, 1);
    }

    void optionsFileInTheDataDirectoryIsReadAndItsChangesGoToTheConfigDirectory() {
        const QString shipped = sandbox_->data("Qralith.ini");
        write_file(shipped, "[Options]\nEnableSound=1\nEnableBitmap=0\n[View]\nToolBar=0\n");
        CMorvaneApp& app = start();
        QCOMPARE(app.options_file_path(), shipped);
        QCOMPARE(app.EnableSound, 1);
        QCOMPARE(app.EnableBitmap, 0);
        QVERIFY(frame().tool_bar()->isHidden());
        QVERIFY(!QFile::exists(sandbox_->cwd("Qralith.ini")));

        frame().dispatch(ID_OPTIONS_PICTURE);
        // The shipped file is never written; the user's copy keeps its other keys.
        QCOMPARE(read_file(shipped), QByteArray("[Options]\nEnableSound=1\nEnableBitmap=0\n[View]\nToolBar=0\n"));
        const QString copy = sandbox_->config("Qralith.ini");
        QCOMPARE(ini_text(copy, "Options", "EnableBitmap"), "1");
        QCOMPARE(ini_text(copy, "Options", "EnableSound"), "1");
        QCOMPARE(ini_text(copy, "View", "ToolBar"), "0");

        // The next start finds the user's copy first.
        CMorvaneApp& again = restart();
        QCOMPARE(again.options_file_path(), copy);
        QCOMPARE(again.EnableBitmap, 1);
    }

    // An earlier version kept its options in whatever folder it was started
    // from. Such a file is taken over once into the configuration directory;
    // the folder itself is never written, and a start from anywhere else
    // finds the same options.
    void anOptionsFileLeftInTheWorkingDirectoryIsTakenOverAndNeverWritten() {
        const QByteArray old_text("[Options]\nEnableSound=0\nEnableBitmap=1\n[View]\nToolBar=0\nStatusBar=1\n");
        const QString left_behind = sandbox_->cwd("Qralith.ini");
        write_file(left_behind, old_text);
        CMorvaneApp& app = start();
        const QString ini = sandbox_->config("Qralith.ini");
        QCOMPARE(app.options_file_path(), ini);
        QCOMPARE(app.options_write_path(), ini);
        QCOMPARE(app.EnableSound, 0);
        QVERIFY(frame().tool_bar()->isHidden());
        QCOMPARE(read_file(ini), old_text);
        frame().dispatch(ID_VIEW_TOOLBAR);
        frame().dispatch(ID_OPTIONS_SOUND);
        QCOMPARE(ini_text(ini, "View", "ToolBar"), "1");
        QCOMPARE(read_file(left_behind), old_text);

        // Started from another folder: the options are there, and nothing is
        // written into that folder.
        const QString elsewhere = sandbox_->path("elsewhere");
        QVERIFY(QDir().mkpath(elsewhere));
        QVERIFY(QDir::setCurrent(elsewhere));
        CMorvaneApp& again = restart();
        QCOMPARE(again.options_file_path(), ini);
        QCOMPARE(again.EnableSound, 1);
        QVERIFY(!frame().tool_bar()->isHidden());
        frame().dispatch(ID_OPTIONS_PICTURE);
        QCOMPARE(QDir(elsewhere).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());

        // Back in the old folder the old file is not read again: the user's
        // file in the configuration directory wins.
        QVERIFY(QDir::setCurrent(sandbox_->cwd()));
        CMorvaneApp& third = restart();
        QCOMPARE(third.options_file_path(), ini);
        QCOMPARE(third.EnableSound, 1);
        QCOMPARE(read_file(left_behind), old_text);
    }

    void emptyOptionsSectionTurnsBothOptionsOff() {
        write_file(sandbox_->cwd("Qralith.ini"), "[Options]\n[View]\nToolBar=1\nStatusBar=1\n");
        CMorvaneApp& app = start();
        QCOMPARE(app.EnableSound, 0);
        QCOMPARE(app.EnableBitmap, 0);
        QVERIFY(!frame().action(ID_OPTIONS_SOUND)->isChecked());
        QVERIFY(!frame().view()->picture_mode());
        // Nothing was written back: a found file is only read at start-up
        // (the one in the working directory is copied, not changed).
        QCOMPARE(read_file(sandbox_->cwd("Qralith.ini")), QByteArray("[Options]\n[View]\nToolBar=1\nStatusBar=1\n"));
        QCOMPARE(read_file(sandbox_->config("Qralith.ini")), QByteArray("[Options]\n[View]\nToolBar=1\nStatusBar=1\n"));
    }

    void anyNonZeroCountsAsOnAndTheFirstToggleWritesZero() {
        const QString ini = sandbox_->config("Qralith.ini");
        write_file(ini, "[Options]\nEnableSound=5\nEnableBitmap=0\n");
        CMorvaneApp& app = start();
        QCOMPARE(app.EnableSound, 5);
        QVERIFY(frame().action(ID_OPTIONS_SOUND)->isChecked());
        frame().dispatch(ID_OPTIONS_SOUND);
        QCOMPARE(ini_text(ini, "Options", "EnableSound"), "0");
        QCOMPARE(app.EnableSound, 0);
        QVERIFY(!frame().action(ID_OPTIONS_SOUND)->isChecked());
        frame().dispatch(ID_OPTIONS_SOUND);
        QCOMPARE(ini_text(ini, "Options", "EnableSound"), "1");
        // The sound toggle neither plays nor stops anything now.
        QCOMPARE(audio_.plays, 0);
    }

    void secondPictureIsUsedWhenTheFirstIsMissingOrBroken() {
        write_file(sandbox_->data("QRALITH0.bmp"), make_bmp(40, 30, 24, false, stripes));
        CMorvaneApp& app = start();
        QCOMPARE(app.picture_loaded, 1);
        QCOMPARE(app.document()->path_name(), sandbox_->data("QRALITH0.bmp"));
        QVERIFY(MessageBox::shown().empty());

        // A top-down first picture is refused with both messages, then the
        // second one is taken.
        write_file(sandbox_->cwd("QRALITH.bmp"), make_bmp(40, -30, 24, false, stripes));
        MessageBox::clearShown();
        CMorvaneApp& again = restart();
        QCOMPARE(MessageBox::shownTexts(), QStringList({"DIB is too large", "Couldn't load DIB"}));
        QCOMPARE(again.picture_loaded, 1);
        QCOMPARE(again.document()->path_name(), sandbox_->data("QRALITH0.bmp"));
    }

    void noPictureGivesAnEmptyDocumentAndTextMode() {
        CMorvaneApp& app = start();
        QCOMPARE(app.picture_loaded, 0);
        QVERIFY(app.document()->picture() == nullptr);
        QVERIFY(!frame().view()->picture_mode());
        QSize before = frame().size();
        frame().dispatch(ID_OPTIONS_PICTURE);  // off
        frame().dispatch(ID_OPTIONS_PICTURE);  // on again: still nothing to show
        QVERIFY(!frame().view()->picture_mode());
        QCOMPARE(frame().size(), before);
    }

    void pictureModeFitsTheWindowToThePictureAndTextModeKeepsItsSize() {
        write_file(sandbox_->cwd("QRALITH.bmp"), make_bmp(700, 420, 24, false, stripes));
        CMorvaneApp& app = start();
        QCOMPARE(app.picture_loaded, 1);
        CMorvaneView* view = frame().view();
        QTRY_COMPARE(view->size(), QSize(700, 420));
        QCOMPARE(frame().windowTitle(), QString(" Welcome to Quoralith World"));

        QSize fitted = frame().size();
        frame().dispatch(ID_OPTIONS_PICTURE);
        QVERIFY(!view->picture_mode());
        QCOMPARE(ini_text(app.options_file_path(), "Options", "EnableBitmap"), "0");
        QTest::qWait(50);
        QCOMPARE(frame().size(), fitted);
        // Text mode paints the welcome line in blue near the bottom.
        QImage shot = view->grab().toImage();
        bool blue = false;
        for (int y = shot.height() - 25; y < shot.height() - 5 && !blue; ++y)
            for (int x = 0; x < shot.width() && !blue; ++x) blue = shot.pixelColor(x, y) == QColor(0, 0, 255);
        QVERIFY(blue);
    }

    void printingFillsThePageWidthKeepingPhysicalProportions() {
        write_file(sandbox_->cwd("QRALITH.bmp"), make_bmp(40, 30, 24, false, stripes));
        start();
        // A page whose pixels are twice as tall as wide: 300 dpi across, 150 down.
        QImage page(600, 1000, QImage::Format_RGB32);
        page.fill(Qt::white);
        page.setDotsPerMeterX(11811);
        page.setDotsPerMeterY(5906);
        {
            QPainter painter(&page);
            frame().view()->draw(painter, &page);
        }
        // 600 wide; 150/300 * 600 * 30/40 = 225 rows tall.
        const int height = int(double(page.logicalDpiY()) * 600 * 30 / (double(page.logicalDpiX()) * 40));
        QVERIFY(qAbs(height - 225) <= 1);
        QVERIFY(page.pixelColor(599, height - 1) != QColor(Qt::white));
        QCOMPARE(page.pixelColor(599, height + 1), QColor(Qt::white));
        QCOMPARE(page.pixelColor(0, 999), QColor(Qt::white));
    }

    void barVisibilityIsSavedAndSurvivesARestart() {
        const QString ini = sandbox_->config("Qralith.ini");
        write_file(ini, "[Options]\nEnableSound=0\n[View]\nToolBar=0\nStatusBar=1\n");
        start();
        QVERIFY(frame().tool_bar()->isHidden());
        frame().dispatch(ID_VIEW_TOOLBAR);
        QVERIFY(!frame().tool_bar()->isHidden());
        QCOMPARE(ini_text(ini, "View", "ToolBar"), "1");
        frame().dispatch(ID_VIEW_STATUS_BAR);
        QVERIFY(frame().statusBar()->isHidden());
        QCOMPARE(ini_text(ini, "View", "StatusBar"), "0");

        restart();
        QVERIFY(!frame().tool_bar()->isHidden());
        QVERIFY(frame().statusBar()->isHidden());
    }

    void everyToolbarButtonSendsItsMenuCommandWithItsTooltip() {
        start();
        struct Expected {
            int id;
            const char* tip;
        };
        const Expected buttons[] = {{ID_ACTIONS_CREATE, "Create Delta"},
                                    {ID_ACTIONS_RESTORE, " Restore From Delta"},
                                    {ID_ACTIONS_WIZARD, " Wizard"},
                                    {ID_HELP_TOPICS, "Help"},
                                    {ID_ACTIONS_TELL_FRIEND, " Tell Your Friends"},
                                    {ID_ACTIONS_OPPORTUNITIES, "Countless Opportunities"},
                                    {ID_APP_ABOUT, "About Quoralith"},
                                    {ID_APP_EXIT, "Quit"}};
        QList<QAction*> actions = frame().tool_bar()->actions();
        QCOMPARE(actions.size(), 8);
        QSignalSpy sent(&frame(), &CMainFrame::commandDispatched);
        for (int i = 0; i < 8; ++i) {
            QAction* action = actions[i];
            QCOMPARE(action->objectName().toInt(), buttons[i].id);
            QCOMPARE(action->toolTip(), QString(buttons[i].tip));
            auto* button = qobject_cast<QToolButton*>(frame().tool_bar()->widgetForAction(action));
            QVERIFY(button);
            QCOMPARE(button->size(), QSize(75, 68));
            QCOMPARE(button->iconSize(), QSize(70, 63));
            QTest::mouseClick(button, Qt::LeftButton);
            QCOMPARE(sent.size(), i + 1);
            QCOMPARE(sent.last().at(0).toInt(), buttons[i].id);
        }
        // Exit closed the window.
        QVERIFY(!frame().isVisible());
    }

    // F1 in the main window gives the help contents, as Help Topics does.
    void f1InTheMainWindowOpensHelpTopics() {
        start();
        QApplication::setActiveWindow(&frame());
        QVERIFY(QTest::qWaitForWindowActive(&frame()));
        QSignalSpy sent(&frame(), &CMainFrame::commandDispatched);
        QTest::keyClick(frame().windowHandle(), Qt::Key_F1);
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent.last().at(0).toInt(), int(ID_HELP_TOPICS));
    }

    void menuPromptsAndUnbuiltCommands() {
        start();
        QCOMPARE(frame().action(ID_ACTIONS_CREATE)->statusTip(), QString("Create delta file(directory)"));
        QCOMPARE(frame().action(ID_VIEW_TOOLBAR)->statusTip(), QString("Show or hide the toolbar"));
        QCOMPARE(frame().action(ID_OPTIONS_SOUND)->statusTip(), QString());
        QCOMPARE(frame().statusBar()->currentMessage(), QString("Ready"));
        // Every command has its dialog: none says it is not available.
        for (int command : {ID_ACTIONS_CREATE, ID_ACTIONS_RESTORE, ID_ACTIONS_TELL_FRIEND})
            frame().dispatch(command);
        QVERIFY(!frame().statusBar()->currentMessage().contains("not available"));
        QVERIFY(MessageBox::shown().empty());
    }

    void lockIndicatorsFollowTheKeys() {
        start();
        LockKeys keys;
        frame().set_lock_key_reader([&keys] { return keys; });
        QCOMPARE(frame().indicator("CAP")->text(), QString());
        keys.caps = true;
        keys.scroll = true;
        frame().refresh_indicators();
        QCOMPARE(frame().indicator("CAP")->text(), QString("CAP"));
        QCOMPARE(frame().indicator("NUM")->text(), QString());
        QCOMPARE(frame().indicator("SCRL")->text(), QString("SCRL"));
    }

    void openNewAndPrintActOnThePictureAndNeverWriteIt() {
        const QString first = sandbox_->cwd("QRALITH.bmp");
        const QByteArray bytes = make_bmp(20, 10, 8, false, [](int x, int) { return std::uint32_t(x * 10); });
        write_file(first, bytes);
        CMorvaneApp& app = start();
        QCOMPARE(app.document()->width(), 20);
        frame().activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&frame()));

        // Open: a broken file is refused and the shown picture stays.
        write_file(sandbox_->cwd("broken.trm"), "BMxx");
        FileDialog::setNextFileName(sandbox_->cwd("broken.trm"));
        QTest::keyClick(&frame(), Qt::Key_O, Qt::ControlModifier);
        QCOMPARE(MessageBox::shownTexts(), QStringList({"Couldn't load DIB"}));
        QCOMPARE(app.document()->path_name(), first);

        const QString second = sandbox_->cwd("other.trm");
        write_file(second, make_bmp(33, 22, 24, false, stripes));
        FileDialog::setNextFileName(second);
        QTest::keyClick(&frame(), Qt::Key_O, Qt::ControlModifier);
        QCOMPARE(app.document()->width(), 33);

        // Print to a PDF file.
        const QString pdf = sandbox_->path("print.pdf");
        PrintDialog::setNextAccepted(true, pdf);
        QTest::keyClick(&frame(), Qt::Key_P, Qt::ControlModifier);
        QVERIFY(read_file(pdf).startsWith("%PDF"));

        // New clears the picture and the view falls back to text.
        QTest::keyClick(&frame(), Qt::Key_N, Qt::ControlModifier);
        QVERIFY(app.document()->picture() == nullptr);
        QVERIFY(!frame().view()->picture_mode());
        QTest::keyClick(&frame(), Qt::Key_S, Qt::ControlModifier);
        QCOMPARE(read_file(first), bytes);
    }
};

QTEST_MAIN(StartupTest)
#include "startup_test.moc"
