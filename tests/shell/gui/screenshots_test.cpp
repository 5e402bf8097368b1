// Pictures of the main window and the two information dialogs, taken
// headless. With QUORALITH_SCREENSHOT_DIR set they are written there (the
// README's pictures come from docs/screenshots); otherwise to a scratch folder.
#include "gui_test_support.h"

#include "shell/app/about_dialog.h"
#include "shell/app/commands.h"
#include "shell/app/main_frame.h"
#include "shell/app/morvane_app.h"
#include "shell/app/morvane_view.h"
#include "shell/app/opportunities_dialog.h"
#include "shell/common/ui_seams.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <memory>

using namespace quoralith;
using namespace quoralith::test;

class ScreenshotsTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Sandbox> sandbox_;
    FakeAudioOutput audio_;
    QString out_;

    void save(QWidget& widget, const char* name) {
        QImage shot = widget.grab().toImage();
        QVERIFY(!shot.isNull());
        QVERIFY(shot.save(QDir(out_).filePath(name)));
    }

private slots:
    void initTestCase() {
        sandbox_ = std::make_unique<Sandbox>();
        audio_.device = false;
        set_audio_output(&audio_);
        out_ = qEnvironmentVariable("QUORALITH_SCREENSHOT_DIR", sandbox_->path("shots"));
        QDir().mkpath(out_);
        QVERIFY(QFile::copy(QUORALITH_SOURCE_DIR "/resources/data/QRALITH.bmp", sandbox_->data("QRALITH.bmp")));
    }
    void cleanupTestCase() {
        set_audio_output(nullptr);
        sandbox_.reset();
    }

    void mainWindowInBothModes() {
        CMorvaneApp app;
        app.init_instance();
        CMainFrame* frame = app.main_frame();
        QVERIFY(frame->view()->picture_mode());
        QTRY_COMPARE(frame->view()->size(), QSize(640, 400));
        save(*frame, "main-window-picture.png");
        frame->dispatch(ID_OPTIONS_PICTURE);
        QVERIFY(!frame->view()->picture_mode());
        save(*frame, "main-window-text.png");
    }

    void informationDialogs() {
        CAboutDlg about;
        about.show();
        save(about, "about.png");
        COpportunitiesDlg opportunities;
        opportunities.show();
        save(opportunities, "countless-opportunities.png");
    }
};

QTEST_MAIN(ScreenshotsTest)
#include "screenshots_test.moc"
