// Built-in pictures: read from the resource system through our bitmap reader.
#include "shell/common/resource_picture.h"

#include <QFile>
#include <QPainter>

namespace quoralith {

int load_resource_picture(const QString& name, QImage& bitmap, DibPalette& palette) {
    QFile file(QStringLiteral(":/bitmaps/") + name);
    if (!file.open(QIODevice::ReadOnly)) return 0;
    QByteArray bytes = file.readAll();
    std::unique_ptr<DibBlock> dib = read_dib_bytes(
        std::span(reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size())));
    if (!dib) return 0;
    QImage image = dib_to_image(*dib);
    if (image.isNull()) return 0;
    // A picture of up to 256 colours brings its own palette; deeper ones would
    // get a general-purpose (halftone) palette, which a true-colour display
    // does not need.
    DibPalette table;
    int bits = dib_bit_count(*dib);
    int colours = dib_num_colors(*dib) ? dib_num_colors(*dib) : (bits < 31 ? 1 << bits : 0);
    if (colours > 0 && colours <= 256) create_dib_palette(*dib, table);
    bitmap = image;
    palette = std::move(table);
    return 1;
}

int load_resource_picture(int id, QImage& bitmap, DibPalette& palette) {
    return load_resource_picture(QString::number(id), bitmap, palette);
}

PictureFrame::PictureFrame(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Box | QFrame::Plain);
    QPalette colours = palette();
    colours.setColor(QPalette::WindowText, Qt::black);
    setPalette(colours);
}

void PictureFrame::setPictureId(int id) {
    picture_id_ = id;
    update();
}

void PictureFrame::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    if (picture_id_ == 0) return;
    QImage picture;
    DibPalette palette;
    if (!load_resource_picture(picture_id_, picture, palette)) return;
    // The picture covers the frame's own drawing, unscaled from the top left.
    QPainter painter(this);
    painter.setClipRect(rect());
    painter.drawImage(QPoint(0, 0), picture);
}

}  // namespace quoralith
