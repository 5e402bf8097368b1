// A delta handed to the program, as a file manager does when a .dlt file is
// opened: the Restore sheet comes up with it as the Delta; anything else is
// refused in words.
#include "gui_test_support.h"

#include "coder/format.h"
#include "sheets/gui/operation_sheet.h"
#include "shell/app/main_frame.h"
#include "shell/app/morvane_app.h"
#include "shell/common/ui_seams.h"

#include <QDir>
#include <QImage>
#include <QLineEdit>
#include <QTest>

#include <memory>

using namespace quoralith;
using namespace quoralith::test;

class OpenDeltaTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Sandbox> sandbox_;
    FakeAudioOutput audio_;

    // What the sheet showed when it opened, if one did.
    struct Opened {
        QString title;
        QString delta_record;
        QString updated_record;
        QImage picture;
        bool delta_shown = false;
    };

    std::vector<Opened> open(CMorvaneApp& app, const QString& path, bool& result) {
        std::vector<Opened> opened;
        ModalDialog::setTestHook([&](QDialog& dialog) {
            auto* sheet = qobject_cast<COperationSheet*>(&dialog);
            if (!sheet) return int(QDialog::Rejected);
            Opened seen;
            seen.title = sheet->windowTitle();
            seen.delta_record = QString::fromLocal8Bit(app.current.Delta);
            seen.updated_record = QString::fromLocal8Bit(app.current.UpdatedPath);
            for (QLineEdit* edit : sheet->findChildren<QLineEdit*>())
                if (edit->text() == seen.delta_record && !seen.delta_record.isEmpty()) seen.delta_shown = true;
            QCoreApplication::processEvents();
            seen.picture = sheet->grab().toImage();
            opened.push_back(seen);
            return int(QDialog::Rejected);
        });
        result = app.main_frame()->open_delta(path);
        ModalDialog::setTestHook(nullptr);
        return opened;
    }

private slots:
    void init() {
        sandbox_ = std::make_unique<Sandbox>();
        audio_ = FakeAudioOutput{};
        audio_.device = false;
        set_audio_output(&audio_);
        MessageBox::setTestMode(true);
        MessageBox::clearShown();
    }
    void cleanup() {
        MessageBox::setTestMode(false);
        set_audio_output(nullptr);
        sandbox_.reset();
    }

    void aDeltaOpensTheRestoreSheetWithItsName() {
        CMorvaneApp app;
        app.init_instance();
        // Any file that ends with the trailer's magic is taken as a delta.
        QByteArray bytes(200, 'x');
        bytes.append(reinterpret_cast<const char*>(kTrailerMagic.data()), int(kTrailerMagic.size()));
        bytes.append(QByteArray(kTrailerSize - int(kTrailerMagic.size()), '\0'));
        const QString delta = sandbox_->path("release 2.dlt");
        write_file(delta, bytes);
        bool result = false;
        const std::vector<Opened> opened = open(app, delta, result);
        QVERIFY(result);
        QCOMPARE(int(opened.size()), 1);
        QCOMPARE(opened[0].title, QStringLiteral("Restore Updated File/Directory"));
        QCOMPARE(opened[0].delta_record, QFileInfo(delta).absoluteFilePath());
        QVERIFY(opened[0].delta_shown);
        // The restored file is named after the delta, beside it.
        QCOMPARE(opened[0].updated_record, QFileInfo(sandbox_->path("release 2")).absoluteFilePath());
        QVERIFY(MessageBox::shownTexts().isEmpty());

        // The picture for the README: QUORALITH_SCREENSHOT_DIR=$PWD/docs/screenshots
        // writes it there (otherwise into the sandbox, which still checks it is taken).
        const QString shots = qEnvironmentVariable("QUORALITH_SCREENSHOT_DIR", sandbox_->path("shots"));
        QDir().mkpath(shots);
        QVERIFY(!opened[0].picture.isNull());
        QVERIFY(opened[0].picture.save(QDir(shots).filePath(QStringLiteral("open-delta-restore.png"))));
    }

    void aFileThatIsNoDeltaIsRefusedInWords() {
        CMorvaneApp app;
        app.init_instance();
        const QString text = sandbox_->path("notes.dlt");
        write_file(text, QByteArray(300, 'a'));
        const QString tiny = sandbox_->path("tiny.dlt");
        write_file(tiny, QByteArray(reinterpret_cast<const char*>(kTrailerMagic.data()), int(kTrailerMagic.size())));
        const QString missing = sandbox_->path("missing.dlt");
        for (const QString& path : {text, tiny, missing, sandbox_->path("")}) {
            MessageBox::clearShown();
            bool result = true;
            const std::vector<Opened> opened = open(app, path, result);
            QVERIFY(!result);
            QVERIFY(opened.empty());
            QCOMPARE(MessageBox::shownTexts(), QStringList{QStringLiteral("'%1' is not a Quoralith delta file.").arg(path)});
        }
        QCOMPARE(std::string(app.current.Delta), std::string());
    }
};

QTEST_MAIN(OpenDeltaTest)
#include "open_delta_test.moc"
