// The wizard's title: a button-shaped strip at the top right of the wizard
// that paints itself (a red-to-blue gradient, row by row) and shows the step's
// title in white bold text, split in two lines at the tab.
//
// Thread safety: user-interface thread only.
#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QFont>

namespace quoralith {

// The rounding multiply-then-divide the gradient is defined with: a * b / c
// rounded half away from zero; -1 when c is 0.
int mul_div(int a, int b, int c);

// The colour of pixel row `y` (0 at the top) of a title `height` rows high:
// red 255 - mul_div(252, y, height), green 0, blue 128.
QColor title_row_colour(int y, int height);

// Where the title text goes: the part before the first tab (when the tab
// stands after the first character) at (15, 10), the part after it at (5, 50);
// otherwise the whole text at (15, 10). Offsets from the control's top left.
struct TitleLines {
    QString first;
    QString second;  // empty when the text has no such tab
    bool split = false;
};
TitleLines split_title(const QString& text);
inline constexpr int TITLE_FIRST_X = 15;
inline constexpr int TITLE_FIRST_Y = 10;
inline constexpr int TITLE_SECOND_X = 5;
inline constexpr int TITLE_SECOND_Y = 50;

class CWizardTitle : public QAbstractButton {
    Q_OBJECT
public:
    explicit CWizardTitle(QWidget* parent = nullptr);

    // The system's GUI font and the same font at weight 700; the text is
    // drawn in the bold one.
    const QFont& normal_font() const { return normal_; }
    const QFont& bold_font() const { return bold_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QFont normal_;
    QFont bold_;
};

}  // namespace quoralith
