// The General page (dialog 102), first page of both sheets: the kind of job,
// the Base, Updated and Delta names, the directory options, the archive marks
// and the report file. It resets the current job when the sheet opens and
// drives the enabling of the sheet's Record button.
#pragma once

#include "sheets/gui/operation_sheet.h"

class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace quoralith {

class PathEdit;

// Open-file dialog filters (the shown text, then the pattern).
inline constexpr const char* ALL_FILES_FILTER = "All files(*.*) (*)";

class CGeneralPage : public CSheetPage {
    Q_OBJECT
public:
    explicit CGeneralPage(COperationSheet& sheet);

    void show_current() override;
    // The Base, Updated, Delta, Pattern and report edits (Delete stays theirs
    // while the history list is shown).
    bool owns_edit(const QWidget* widget) const;

protected:
    void initialise() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void kind_clicked(int kind);
    void base_changed(const QString& text);
    void name_changed(char* field, const QString& text);
    void report_changed(const QString& text);
    void browse_name(int button);
    void browse_report();
    // Where the save dialog of an output opens: the output's own name when it
    // has one, else the suggested name in the folder of `input`.
    QString save_dialog_start(const QString& output, const QString& input, const QString& suggestion) const;
    // After the user changed the input an output follows from (Updated on
    // Create, Delta on Restore): the suggested output name, put in the
    // output's edit while that is empty or still holds the last suggestion.
    void suggest_output();
    void update_record_button(bool consult_changed_flag);
    void move_focus_to_next_control(QWidget* from, bool backwards);

    QRadioButton* single_ = nullptr;
    QRadioButton* archived_ = nullptr;
    QRadioButton* directory_ = nullptr;
    QButtonGroup* kinds_ = nullptr;
    QGroupBox* options_group_ = nullptr;
    QCheckBox* subdirs_ = nullptr;
    QCheckBox* clear_output_ = nullptr;
    QWidget* pattern_label_ = nullptr;
    QLineEdit* pattern_ = nullptr;
    QCheckBox* self_extract_ = nullptr;
    PathEdit* base_ = nullptr;
    PathEdit* updated_ = nullptr;
    PathEdit* delta_ = nullptr;
    PathEdit* report_ = nullptr;
    QCheckBox* base_archivator_ = nullptr;
    QCheckBox* updated_archivator_ = nullptr;
    QCheckBox* delta_archivator_ = nullptr;
    QWidget* direction_labels_[3] = {};
    QWidget* icon_ = nullptr;
    // The last output name suggested; a name the user typed is never replaced.
    QString suggested_output_;
};

}  // namespace quoralith
