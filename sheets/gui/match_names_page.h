// The Name Matching page (dialog 1539, last page of the Create sheet): pairs
// of Base-side and Updated-side names for files whose names differ, taken
// from the customer's match file or built here and written to a match file
// of the page's own when the job starts.
#pragma once

#include "sheets/gui/operation_sheet.h"

#include <string>
#include <vector>

class QButtonGroup;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;

namespace quoralith {

class PathEdit;

inline constexpr const char* TEXT_FILES_FILTER = "Text documents(*.txt) (*.txt)";
inline constexpr int IDC_MATCH_LIST = 8000;

class CMatchNamsPage : public CSheetPage {
    Q_OBJECT
public:
    explicit CMatchNamsPage(COperationSheet& sheet);
    ~CMatchNamsPage() override;

    void show_current() override;

    // At the start of a Create job: writes the pair list to the page's own
    // match file when the job is a directory job in build mode. A job whose
    // build mode came from the history with no list built here writes
    // nothing, and no file but the page's own is ever written.
    void write_match_file_for_job();

    // The page's own match file (empty until the page is first shown).
    const std::string& temporary_name() const { return temporary_name_; }
    const std::vector<std::string>& entries() const { return entries_; }
    QListWidget* list() const { return list_; }

protected:
    void initialise() override;

private:
    void customer_clicked();
    void build_clicked();
    void browse_customer_file();
    void choose_inside(bool base);
    void add_to_list();
    void delete_entry();

    QRadioButton* customer_ = nullptr;
    QRadioButton* build_ = nullptr;
    QButtonGroup* modes_ = nullptr;
    PathEdit* customer_edit_ = nullptr;
    QPushButton* browse_customer_ = nullptr;
    QLineEdit* base_entry_ = nullptr;
    QLineEdit* updated_entry_ = nullptr;
    QPushButton* browse_base_ = nullptr;
    QPushButton* browse_updated_ = nullptr;
    QPushButton* add_ = nullptr;
    QPushButton* delete_ = nullptr;
    QListWidget* list_ = nullptr;
    QWidget* icon_ = nullptr;

    std::vector<std::string> entries_;
    std::string temporary_name_;
    bool temporary_written_ = false;
    std::string last_base_folder_;
    std::string last_updated_folder_;
};

}  // namespace quoralith
