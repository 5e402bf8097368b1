// The startup sound: the load codes and their messages, chunk sizes that lie,
// and starting and stopping through the main view.
#include "gui_test_support.h"

#include "shell/app/main_frame.h"
#include "shell/app/morvane_app.h"
#include "shell/app/morvane_view.h"
#include "shell/app/wave_sound.h"
#include "shell/common/ui_seams.h"

#include <QRandomGenerator>
#include <QTest>

#include <unistd.h>

#include <memory>

using namespace quoralith;
using namespace quoralith::test;

class SoundTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Sandbox> sandbox_;
    FakeAudioOutput audio_;

    std::string wave(const QByteArray& bytes, const char* name = "QRALITH.wav") {
        QString path = sandbox_->cwd(name);
        write_file(path, bytes);
        return path.toStdString();
    }

private slots:
    void init() {
        sandbox_ = std::make_unique<Sandbox>();
        audio_ = FakeAudioOutput{};
        set_audio_output(&audio_);
    }
    void cleanup() {
        set_audio_output(nullptr);
        sandbox_.reset();
    }

    void aWellFormedWaveLoads() {
        WaveSound sound;
        QByteArray file = make_riff("WAVE", {{"LIST", QByteArray(9, 'x')},
                                             {"fmt ", pcm_format(1, 2, 44100, 16) + QByteArray(2, '\0')},
                                             {"fact", QByteArray(4, '\0')},
                                             {"data", QByteArray(400, '\x22')}});
        QCOMPARE(wave_load(sound, wave(file)), int(WAVE_LOADED));
        QCOMPARE(sound.data_size, 400u);
        QCOMPARE(sound.samples.size(), std::size_t(400));
        QCOMPARE(int(sound.bits_per_sample), 16);
        QCOMPARE(int(sound.frame_size), 4);
        QCOMPARE(int(sound.format->samples_per_second), 44100);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(sound.samples.data()), 400), QByteArray(400, '\x22'));
        QCOMPARE(file.mid(int(sound.data_offset), 4), QByteArray(4, '\x22'));
    }

    void loadCodesAndTheirMessages_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<bool>("device_supports");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        const QString wrong = "Wrong or unsupported format of file";
        QTest::newRow("not RIFF") << QByteArray("JUNK0000WAVEfmt ") << true << 110 << wrong;
        QTest::newRow("RIFF but not WAVE") << make_riff("AVI ", {{"fmt ", pcm_format()}}) << true << 110 << wrong;
        QTest::newRow("no fmt chunk") << make_riff("WAVE", {{"data", QByteArray(10, 'a')}}) << true << 110 << wrong;
        QTest::newRow("compressed") << make_riff("WAVE", {{"fmt ", pcm_format(2)}, {"data", QByteArray(10, 'a')}})
                                    << true << 110 << wrong;
        QTest::newRow("device cannot play it") << make_wave() << false << 110 << wrong;
        QTest::newRow("no data chunk") << make_riff("WAVE", {{"fmt ", pcm_format()}}) << true << 110 << wrong;
        QTest::newRow("empty data chunk") << make_riff("WAVE", {{"fmt ", pcm_format()}, {"data", QByteArray()}}) << true
                                          << 110 << wrong;
        QTest::newRow("data before fmt") << make_riff("WAVE", {{"data", QByteArray(8, 'a')}, {"fmt ", pcm_format()}})
                                         << true << 110 << wrong;
        QTest::newRow("short fmt") << make_riff("WAVE", {{"fmt ", pcm_format().left(12)}, {"data", QByteArray(8, 'a')}})
                                   << true << 113 << "Error reading";
    }
    void loadCodesAndTheirMessages() {
        QFETCH(QByteArray, file);
        QFETCH(bool, device_supports);
        QFETCH(int, code);
        QFETCH(QString, message);
        audio_.supported = device_supports;
        WaveSound sound;
        QCOMPARE(wave_load(sound, wave(file)), code);
        QVERIFY(!sound.format);
        QCOMPARE(wave_load_message(code), message);
        QCOMPARE(wave_prepare(sound, wave(file)), 0);
        QCOMPARE(MessageBox::shownTexts(), QStringList({message}));
        QCOMPARE(MessageBox::shown().back().caption, QString("Wave Error"));
        QCOMPARE(MessageBox::shown().back().icon, MessageIcon::Error);
    }

    void missingFileAndMissingDeviceAreSilent() {
        WaveSound sound;
        QCOMPARE(wave_load(sound, sandbox_->cwd("nothing.wav").toStdString()), int(WAVE_CANNOT_OPEN));
        QCOMPARE(wave_prepare(sound, sandbox_->cwd("nothing.wav").toStdString()), 0);
        audio_.device = false;
        QCOMPARE(wave_prepare(sound, wave(make_riff("WAVE", {}))), 0);
        QVERIFY(MessageBox::shown().empty());
        QCOMPARE(wave_load_message(999), QString("Unknown error"));
    }

    void aDataChunkTooLargeToHoldIsOutOfMemory() {
        // A sparse file: 65 MiB of sound that takes no room on disk.
        QByteArray head = make_riff("WAVE", {{"fmt ", pcm_format()}, {"data", QByteArray(), 65u << 20}});
        head[4] = head[5] = head[6] = head[7] = char(0xFF);
        std::string path = wave(head);
        QVERIFY(::truncate(path.c_str(), off_t(head.size()) + (65 << 20)) == 0);
        WaveSound sound;
        QCOMPARE(wave_load(sound, path), int(WAVE_OUT_OF_MEMORY));
        QCOMPARE(wave_load_message(WAVE_OUT_OF_MEMORY), QString("No enough memory"));
    }

    void lyingAndTruncatedChunksNeverReadPastTheFile() {
        // A data chunk claiming more than the file holds plays what is there.
        WaveSound sound;
        QByteArray lying = make_riff("WAVE", {{"fmt ", pcm_format()}, {"data", QByteArray(50, 'z'), 0x7FFFFFF0}});
        QCOMPARE(wave_load(sound, wave(lying)), int(WAVE_LOADED));
        QCOMPARE(sound.samples.size(), std::size_t(50));
        // A RIFF size beyond the file, and chunk sizes that would wrap.
        QByteArray big_riff = make_wave();
        big_riff[4] = big_riff[5] = big_riff[6] = big_riff[7] = char(0xFF);
        QCOMPARE(wave_load(sound, wave(big_riff)), int(WAVE_LOADED));
        QByteArray wrap = make_riff("WAVE", {{"LIST", QByteArray(4, 'x'), 0xFFFFFFFF}, {"fmt ", pcm_format()}});
        QCOMPARE(wave_load(sound, wave(wrap)), int(WAVE_BAD_FORMAT));

        const QByteArray good = make_wave(40);
        for (int length = 0; length < good.size(); ++length) {
            WaveSound cut;
            int code = wave_load(cut, wave(good.left(length)));
            QVERIFY2(code == WAVE_BAD_FORMAT || code == WAVE_READ_ERROR || code == WAVE_LOADED,
                     qPrintable(QString("length %1 gave %2").arg(length).arg(code)));
            if (code == WAVE_LOADED) QVERIFY(cut.samples.size() <= std::size_t(good.size() - 44));
        }
        QRandomGenerator random(7);
        for (int round = 0; round < 200; ++round) {
            QByteArray bad = good;
            for (int flips = 0; flips < 3; ++flips) bad[random.bounded(44)] = char(random.bounded(256));
            WaveSound any;
            wave_load(any, wave(bad));
        }
    }

    void theViewPlaysOnStartAndAClickStopsIt() {
        write_file(sandbox_->cwd("Qralith.ini"), "[Options]\nEnableSound=1\n");
        write_file(sandbox_->cwd("QRALITH.wav"), make_wave(300));
        CMorvaneApp app;
        app.init_instance();
        CMorvaneView* view = app.main_frame()->view();
        QCOMPARE(audio_.plays, 1);
        QCOMPARE(audio_.played_bytes, std::size_t(600));
        QCOMPARE(view->sound_playing(), 1);

        // A failing close is reported and leaves the sound marked as playing,
        // so the next click tries again.
        audio_.close_result = WAVE_OUTPUT_ERROR;
        QTest::mouseClick(view, Qt::LeftButton);
        QCOMPARE(audio_.resets, 1);
        QCOMPARE(view->sound_playing(), 1);
        QCOMPARE(MessageBox::shownTexts(), QStringList({wave_error_text(WAVE_OUTPUT_ERROR)}));
        audio_.close_result = 0;
        QTest::mouseClick(view, Qt::LeftButton);
        QCOMPARE(view->sound_playing(), 0);
        QCOMPARE(audio_.closes, 2);
        // Once stopped, clicks do nothing more.
        QTest::mouseClick(view, Qt::LeftButton);
        QCOMPARE(audio_.resets, 2);
        QCOMPARE(wave_error_text(12345), QString("Unknown Error"));
    }

    void soundOffLoadsNothingAndAPlayFailureIsReported() {
        write_file(sandbox_->cwd("Qralith.ini"), "[Options]\nEnableSound=0\n");
        write_file(sandbox_->cwd("QRALITH.wav"), make_wave());
        {
            CMorvaneApp app;
            app.init_instance();
            QCOMPARE(audio_.supports_calls, 0);
            QCOMPARE(audio_.plays, 0);
        }
        // The first start took the working folder's options file over; the
        // configuration folder's copy is the one read from then on.
        write_file(sandbox_->config("Qralith.ini"), "[Options]\nEnableSound=1\n");
        audio_.play_result = WAVE_OUTPUT_IN_USE;
        CMorvaneApp app;
        app.init_instance();
        QCOMPARE(app.main_frame()->view()->sound_playing(), 0);
        QCOMPARE(MessageBox::shownTexts(), QStringList({"The audio output device is already in use."}));
        QCOMPARE(MessageBox::shown().back().caption, QString("Wave Error"));
    }

    void theShippedChimeIsAPlayableWave() {
        WaveSound sound;
        QCOMPARE(wave_load(sound, QUORALITH_SOURCE_DIR "/resources/data/QRALITH.wav"), int(WAVE_LOADED));
        QCOMPARE(int(sound.format->format_tag), 1);
        QVERIFY(sound.samples.size() > 10000);
    }
};

QTEST_MAIN(SoundTest)
#include "sound_test.moc"
