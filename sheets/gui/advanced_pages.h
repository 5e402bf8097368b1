// The Advanced pages: the Create sheet's (dialog 104: stamp, failure action,
// report options) and the Restore sheet's (dialog 105: merging, dates and
// attributes, failure action, report options).
#pragma once

#include "sheets/gui/operation_sheet.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QRadioButton;

namespace quoralith {

// The report part both pages share: " Report Options" and " Report Message Level ".
struct ReportControls {
    QCheckBox* append = nullptr;
    QComboBox* level = nullptr;
};

class CCreateAdvancedPage : public CSheetPage {
    Q_OBJECT
public:
    explicit CCreateAdvancedPage(COperationSheet& sheet);
    void show_current() override;

protected:
    void initialise() override;

private:
    QRadioButton* short_ = nullptr;
    QRadioButton* long_ = nullptr;
    QButtonGroup* stamps_ = nullptr;
    QButtonGroup* failures_ = nullptr;
    ReportControls report_;
    QWidget* icon_ = nullptr;
};

class CRestoreAdvancedPage : public CSheetPage {
    Q_OBJECT
public:
    explicit CRestoreAdvancedPage(COperationSheet& sheet);
    void show_current() override;

protected:
    void initialise() override;

private:
    QCheckBox* merge_ = nullptr;
    QCheckBox* origin_date_ = nullptr;
    QCheckBox* origin_attributes_ = nullptr;
    QButtonGroup* failures_ = nullptr;
    ReportControls report_;
    QWidget* icon_ = nullptr;
};

}  // namespace quoralith
