// Picture buttons.
#include "shell/common/picture_button.h"

#include "shell/common/resource_picture.h"

#include <QPainter>

namespace quoralith {

namespace {

QImage picture(const QString& name) {
    QImage image;
    DibPalette palette;
    if (!name.isEmpty()) load_resource_picture(name, image, palette);
    return image;
}

}  // namespace

PictureButton::PictureButton(const QString& normal, const QString& pressed, const QString& disabled,
                             QWidget* parent)
    : QAbstractButton(parent), normal_(picture(normal)), pressed_(picture(pressed)), disabled_(picture(disabled)) {
    // The caption is a blank, as the pictures say everything.
    setText(QStringLiteral(" "));
}

QSize PictureButton::sizeHint() const { return normal_.isNull() ? QSize(70, 70) : normal_.size(); }

const QImage& PictureButton::current_picture() const {
    if (!isEnabled() && !disabled_.isNull()) return disabled_;
    if (isDown() && !pressed_.isNull()) return pressed_;
    return normal_;
}

void PictureButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setClipRect(rect());
    painter.drawImage(QPoint(0, 0), current_picture());
    if (hasFocus()) {
        painter.setPen(QPen(palette().color(QPalette::Highlight), 1, Qt::DotLine));
        painter.drawRect(rect().adjusted(3, 3, -4, -4));
    }
}

}  // namespace quoralith
