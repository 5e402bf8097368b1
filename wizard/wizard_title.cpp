// The wizard's owner-drawn title.
#include "wizard/wizard_title.h"

#include <QApplication>
#include <QPainter>

#include <cstdint>

namespace quoralith {

int mul_div(int a, int b, int c) {
    if (c == 0) return -1;
    std::int64_t product = std::int64_t(a) * b;
    std::int64_t divisor = c;
    bool negative = (product < 0) != (divisor < 0);
    if (product < 0) product = -product;
    if (divisor < 0) divisor = -divisor;
    std::int64_t quotient = (product + divisor / 2) / divisor;
    return int(negative ? -quotient : quotient);
}

QColor title_row_colour(int y, int height) { return QColor(255 - mul_div(252, y, height), 0, 128); }

TitleLines split_title(const QString& text) {
    qsizetype tab = text.indexOf(QLatin1Char('\t'));
    // A tab at the very start does not split: the text is drawn whole.
    if (tab > 0) return {text.left(tab), text.mid(tab + 1), true};
    return {text, QString(), false};
}

CWizardTitle::CWizardTitle(QWidget* parent) : QAbstractButton(parent) {
    normal_ = QApplication::font();
    bold_ = normal_;
    bold_.setWeight(QFont::Bold);  // 700
    setFocusPolicy(Qt::NoFocus);
}

void CWizardTitle::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect area = rect();
    const int h = area.height();
    for (int y = 0; y < h; ++y) painter.fillRect(area.left(), area.top() + y, area.width(), 1, title_row_colour(y, h));

    painter.setFont(bold_);
    painter.setPen(Qt::white);
    // Each part is placed by its top-left corner, as text output places it;
    // nothing is drawn behind the text, so the gradient shows through.
    const int room = qMax(area.width(), 1);
    auto draw = [&](int x, int y, const QString& part) {
        painter.drawText(QRect(area.left() + x, area.top() + y, room, qMax(h, 1)),
                         Qt::AlignLeft | Qt::AlignTop | Qt::TextDontClip | Qt::TextExpandTabs, part);
    };
    TitleLines lines = split_title(text());
    draw(TITLE_FIRST_X, TITLE_FIRST_Y, lines.first);
    if (lines.split) draw(TITLE_SECOND_X, TITLE_SECOND_Y, lines.second);
}

}  // namespace quoralith
