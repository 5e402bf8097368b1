// The Delta Algorithms page (dialog 103, Create sheet only): which of the
// optimization algorithms 0 to 7 to try, whether a compact delta joins them,
// and whether to keep every algorithm's delta or the smallest one.
#pragma once

#include "sheets/gui/operation_sheet.h"

class QButtonGroup;
class QCheckBox;
class QRadioButton;

namespace quoralith {

// The ids of the algorithm boxes, algorithm 0 first.
inline constexpr int ALGORITHM_BOX_IDS[ALGORITHM_COUNT] = {1015, 1005, 1006, 1007, 1008, 1009, 1010, 1011};
// The "Compact" box: a compact delta among the candidates (our own format).
inline constexpr int COMPACT_BOX_ID = 1016;

class CAlgorithmsPage : public CSheetPage {
    Q_OBJECT
public:
    explicit CAlgorithmsPage(COperationSheet& sheet);
    void show_current() override;

protected:
    void initialise() override;

private:
    void set_all(int value);

    QCheckBox* algorithms_[ALGORITHM_COUNT] = {};
    QRadioButton* keep_smallest_ = nullptr;
    QRadioButton* keep_all_ = nullptr;
    QButtonGroup* keep_group_ = nullptr;
    QCheckBox* append_ = nullptr;
    QCheckBox* compact_ = nullptr;
    QWidget* icon_ = nullptr;
};

}  // namespace quoralith
