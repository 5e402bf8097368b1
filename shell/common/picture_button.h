// A push button drawn entirely by built-in pictures: one for its normal look
// and, optionally, one while it is pressed and one while it is disabled (the
// sheets' rocket, record and play buttons).
#pragma once

#include <QAbstractButton>
#include <QImage>

namespace quoralith {

class PictureButton : public QAbstractButton {
    Q_OBJECT
public:
    // Names of built-in pictures (see load_resource_picture); an empty or
    // unknown name falls back to the normal picture.
    PictureButton(const QString& normal, const QString& pressed = {}, const QString& disabled = {},
                  QWidget* parent = nullptr);

    QSize sizeHint() const override;
    // The picture the button shows in its present state.
    const QImage& current_picture() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage normal_;
    QImage pressed_;
    QImage disabled_;
};

}  // namespace quoralith
