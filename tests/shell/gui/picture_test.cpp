// The bitmap reader and the picture document: every depth and both header
// forms decode to the right pixels, and broken or lying files are refused
// with the user's messages, never read out of bounds.
#include "gui_test_support.h"

#include "shell/app/morvane_doc.h"
#include "shell/common/dib.h"
#include "shell/common/resource_picture.h"
#include "shell/common/ui_seams.h"

#include <QPainter>
#include <QRandomGenerator>
#include <QTest>

#include <memory>

using namespace quoralith;
using namespace quoralith::test;

namespace {

std::unique_ptr<DibBlock> from_bytes(const QByteArray& file) {
    return read_dib_bytes(std::span(reinterpret_cast<const std::uint8_t*>(file.constData()), std::size_t(file.size())));
}

// Index (x + 2y) mod 2^bits, so that every row and column differ.
template <int Bits>
std::uint32_t diagonal(int x, int y) {
    return std::uint32_t(x + 2 * y) % (1u << Bits);
}

std::uint32_t rgb_pattern(int x, int y) { return std::uint32_t((x * 40) << 16 | (y * 50) << 8 | 0x80); }

void write_with_stdio(const QString& path, const QByteArray& bytes) { write_file(path, bytes); }

// A blank one-bit picture of any size, without setting its pixels one by one.
QByteArray blank_one_bit(int width, int height) {
    QByteArray file = make_bmp(1, 1, 1);
    for (int i = 0; i < 4; ++i) {
        file[18 + i] = char((std::uint32_t(width) >> (8 * i)) & 0xFF);
        file[22 + i] = char((std::uint32_t(height) >> (8 * i)) & 0xFF);
    }
    const qsizetype stride = ((qsizetype(width) + 31) / 32) * 4;
    file.resize(14 + 40 + 8 + stride * height, '\0');
    return file;
}

}  // namespace

class PictureTest : public QObject {
    Q_OBJECT

private slots:
    void init() { MessageBox::setTestMode(true), MessageBox::clearShown(); }

    void indexedPicturesOfEveryDepthAndBothHeaderForms_data() {
        QTest::addColumn<int>("bits");
        QTest::addColumn<bool>("core");
        for (int bits : {1, 4, 8})
            for (bool core : {false, true})
                QTest::addRow("%d bits, %s header", bits, core ? "core" : "information") << bits << core;
    }
    void indexedPicturesOfEveryDepthAndBothHeaderForms() {
        QFETCH(int, bits);
        QFETCH(bool, core);
        std::vector<std::uint32_t> colours;
        for (int i = 0; i < (1 << bits); ++i) colours.push_back(std::uint32_t(i * 7) << 16 | std::uint32_t(255 - i) << 8 | 3);
        auto pixel = bits == 1 ? diagonal<1> : bits == 4 ? diagonal<4> : diagonal<8>;
        auto dib = from_bytes(make_bmp(13, 5, bits, core, pixel, colours));
        QVERIFY(dib);
        QCOMPARE(dib_is_info_header(*dib), !core);
        QCOMPARE(dib_width(*dib), 13);
        QCOMPARE(dib_height(*dib), 5);
        QCOMPARE(int(dib_num_colors(*dib)), 1 << bits);
        QCOMPARE(dib_palette_size(*dib), std::uint32_t((1 << bits) * (core ? 3 : 4)));
        QCOMPARE(find_dib_bits(*dib) - dib->data(), std::ptrdiff_t((core ? 12 : 40) + dib_palette_size(*dib)));
        DibPalette palette;
        QVERIFY(create_dib_palette(*dib, palette));
        QCOMPARE(palette.entries.size(), std::size_t(1) << bits);
        QImage image = dib_to_image(*dib);
        QCOMPARE(image.size(), QSize(13, 5));
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 13; ++x) {
                std::uint32_t want = colours[pixel(x, y)];
                QCOMPARE(image.pixel(x, y) & 0xFFFFFF, want);
            }
    }

    void truecolourPicturesHaveNoPalette() {
        for (int bits : {16, 24, 32}) {
            auto dib = from_bytes(make_bmp(7, 3, bits, false, rgb_pattern));
            QVERIFY(dib);
            QCOMPARE(int(dib_num_colors(*dib)), 0);
            DibPalette palette;
            QVERIFY(!create_dib_palette(*dib, palette));
            QImage image = dib_to_image(*dib);
            QCOMPARE(image.size(), QSize(7, 3));
            QColor want = QColor::fromRgb(rgb_pattern(6, 2));
            QColor got = image.pixelColor(6, 2);
            // 16-bit pixels keep five bits per channel.
            int tolerance = bits == 16 ? 8 : 0;
            QVERIFY2(qAbs(got.red() - want.red()) <= tolerance && qAbs(got.green() - want.green()) <= tolerance &&
                         qAbs(got.blue() - want.blue()) <= tolerance,
                     qPrintable(QString("%1 bits").arg(bits)));
        }
    }

    void usedColourCountIsTakenModulo65536() {
        std::vector<std::uint32_t> colours{0x112233, 0x445566};
        auto dib = from_bytes(make_bmp(4, 2, 1, false, diagonal<1>, colours, 65536 + 2));
        QVERIFY(dib);
        QCOMPARE(int(dib_num_colors(*dib)), 2);
        QCOMPARE(dib_to_image(*dib).pixel(1, 0) & 0xFFFFFF, 0x445566u);
    }

    void paintCopiesAtSizeAndStretchesOtherwise() {
        auto dib = from_bytes(make_bmp(4, 4, 24, false, [](int x, int) { return x < 2 ? 0xFF0000u : 0x00FF00u; }));
        QImage target(8, 8, QImage::Format_RGB32);
        target.fill(Qt::white);
        {
            QPainter painter(&target);
            QVERIFY(paint_dib(painter, QRect(0, 0, 4, 4), dib.get(), QRect(0, 0, 4, 4), nullptr));
        }
        QCOMPARE(target.pixelColor(1, 1), QColor(255, 0, 0));
        QCOMPARE(target.pixelColor(5, 5), QColor(Qt::white));
        {
            QPainter painter(&target);
            QVERIFY(paint_dib(painter, QRect(0, 0, 8, 8), dib.get(), QRect(0, 0, 4, 4), nullptr));
        }
        QCOMPARE(target.pixelColor(7, 7), QColor(0, 255, 0));
        QCOMPARE(target.pixelColor(2, 7), QColor(255, 0, 0));
        QPainter painter(&target);
        QVERIFY(!paint_dib(painter, QRect(0, 0, 4, 4), nullptr, QRect(0, 0, 4, 4), nullptr));
    }

    void documentMessagesForMissingBrokenAndTopDownFiles() {
        QTemporaryDir dir;
        CMorvaneDoc doc;
        QVERIFY(!doc.open_document(dir.filePath("missing.bmp")));
        QCOMPARE(MessageBox::shownTexts(), QStringList({"Failed to open document."}));
        QCOMPARE(MessageBox::shown().back().caption, QString("Quoralith"));

        MessageBox::clearShown();
        write_with_stdio(dir.filePath("wrong.bmp"), "MB" + QByteArray(100, '\0'));
        QVERIFY(!doc.open_document(dir.filePath("wrong.bmp")));
        QCOMPARE(MessageBox::shownTexts(), QStringList({"Couldn't load DIB"}));
        QCOMPARE(MessageBox::shown().back().caption, QString("Error"));

        MessageBox::clearShown();
        write_with_stdio(dir.filePath("topdown.bmp"), make_bmp(5, -5, 8));
        QVERIFY(!doc.open_document(dir.filePath("topdown.bmp")));
        QCOMPARE(MessageBox::shownTexts(), QStringList({"DIB is too large", "Couldn't load DIB"}));
        QVERIFY(doc.picture() == nullptr);

        MessageBox::clearShown();
        write_with_stdio(dir.filePath("good.bmp"), make_bmp(6, 4, 24, false, rgb_pattern));
        QVERIFY(doc.open_document(dir.filePath("good.bmp")));
        QVERIFY(MessageBox::shown().empty());
        QCOMPARE(doc.width(), 6);
        QCOMPARE(doc.height(), 4);
        QVERIFY(doc.palette() == nullptr);
        // A later failure keeps the picture that is shown.
        QVERIFY(!doc.open_document(dir.filePath("wrong.bmp")));
        QCOMPARE(doc.path_name(), dir.filePath("good.bmp"));
    }

    // A one-bit picture of a few MiB would decode to gigabytes of pixels: it is
    // refused before anything is decoded, as are sides beyond the bound.
    void hugePicturesAreRefusedBeforeDecoding() {
        const int side = 4096;  // exactly DIB_MAX_PIXELS
        static_assert(std::uint64_t(side) * side == DIB_MAX_PIXELS);
        auto at_bound = from_bytes(blank_one_bit(side, side));
        QVERIFY(at_bound);
        QVERIFY(dib_is_drawable(*at_bound));
        auto over = from_bytes(blank_one_bit(side + 1, side));
        QVERIFY(over);
        QVERIFY(!dib_is_drawable(*over));
        QVERIFY(dib_to_image(*over).isNull());
        auto too_wide = from_bytes(blank_one_bit(DIB_MAX_SIDE + 1, 1));
        QVERIFY(too_wide && !dib_is_drawable(*too_wide));
        auto too_high = from_bytes(make_bmp(1, DIB_MAX_SIDE + 1, 24, true));
        QVERIFY(too_high && !dib_is_drawable(*too_high));

        QTemporaryDir dir;
        write_with_stdio(dir.filePath("huge.bmp"), blank_one_bit(8192, 8192));
        CMorvaneDoc doc;
        QVERIFY(!doc.open_document(dir.filePath("huge.bmp")));
        QCOMPARE(MessageBox::shownTexts(), QStringList({"Couldn't load DIB"}));
        QVERIFY(doc.picture() == nullptr);
    }

    // Truncations at every length and lying fields: every one is either a
    // picture that draws or a refusal, and AddressSanitizer watches the reads.
    void corruptBitmapsNeverReadOutOfBounds() {
        const QByteArray good = make_bmp(9, 7, 8, false, diagonal<8>);
        int drawable = 0;
        for (int length = 0; length <= good.size(); ++length) {
            auto dib = from_bytes(good.left(length));
            if (!dib) continue;
            (void)dib_width(*dib), (void)dib_height(*dib), (void)dib_num_colors(*dib), (void)find_dib_bits(*dib);
            DibPalette palette;
            create_dib_palette(*dib, palette);
            if (!dib_to_image(*dib).isNull()) ++drawable;
        }
        QCOMPARE(drawable, 1);  // only the whole file

        struct Lie {
            int offset;
            std::uint32_t value;
        };
        const Lie lies[] = {{14, 0xFFFFFFFF},  {14, 39},         {14, 12},        {14, 0},
                            {18, 0x7FFFFFFF},  {22, 0x7FFFFFFF}, {18, 0x80000000}, {28, 0xFFFF},
                            {28, 7},           {46, 0xFFFF},     {46, 65535},     {30, 1}};
        for (const Lie& lie : lies) {
            QByteArray bad = good;
            for (int i = 0; i < 4 && lie.offset + i < bad.size(); ++i)
                bad[lie.offset + i] = char((lie.value >> (8 * i)) & 0xFF);
            auto dib = from_bytes(bad);
            QVERIFY(dib);
            DibPalette palette;
            create_dib_palette(*dib, palette);
            QImage image = dib_to_image(*dib);
            if (!image.isNull()) QVERIFY(std::uint64_t(image.width()) * std::uint64_t(image.height()) <= 9 * 7 * 4);
        }

        QRandomGenerator random(20261207);
        for (int round = 0; round < 300; ++round) {
            QByteArray bad = good;
            for (int flips = 0; flips < 4; ++flips) bad[14 + random.bounded(60)] = char(random.bounded(256));
            auto dib = from_bytes(bad.left(random.bounded(bad.size() + 1)));
            if (!dib) continue;
            DibPalette palette;
            create_dib_palette(*dib, palette);
            QImage target(16, 16, QImage::Format_RGB32);
            QPainter painter(&target);
            paint_dib(painter, QRect(0, 0, 16, 16), dib.get(), QRect(0, 0, 9, 7), &palette);
        }
    }

    void builtInPicturesLoadWithTheirPalettes() {
        QImage picture;
        DibPalette palette;
        QCOMPARE(load_resource_picture(IDB_ABOUT, picture, palette), 1);
        QCOMPARE(picture.size(), QSize(310, 141));
        QCOMPARE(palette.entries.size(), std::size_t(256));
        QCOMPARE(load_resource_picture(IDR_MAINFRAME, picture, palette), 1);
        QCOMPARE(picture.size(), QSize(562, 63));
        for (int id = IDB_WIZARD_START; id <= IDB_WIZARD_UPDATED; ++id) {
            QCOMPARE(load_resource_picture(id, picture, palette), 1);
            QCOMPARE(picture.size(), QSize(200, 298));
        }
        for (const char* name : {"ROCKET64U", "ROCKET64D", "VIDEOU", "VIDEOX", "PLAYERU"})
            QCOMPARE(load_resource_picture(QString(name), picture, palette), 1);
        QImage unchanged = picture;
        QCOMPARE(load_resource_picture(9999, picture, palette), 0);
        QCOMPARE(picture, unchanged);
    }
};

QTEST_MAIN(PictureTest)
#include "picture_test.moc"
