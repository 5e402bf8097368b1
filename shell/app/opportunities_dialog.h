// The Countless Opportunities dialog: uses of the program in coloured text and
// three links (information mail, the download product's page, feedback mail).
#pragma once

#include <QColor>
#include <QDialog>
#include <QString>

namespace quoralith {

class CLinkStatic;

inline constexpr const char* INFO_MAIL_ADDRESS = "info@quoralith.example";
inline constexpr const char* FEEDBACK_MAIL_ADDRESS = "feedback@quoralith.example";
inline constexpr const char* DOWNLOAD_PAGE_ADDRESS = "http://www.zrv.example/download.html";

// The colour of a static text of the dialog, by its exact text as shown (a
// doubled ampersand of a group box title counts as one): the seventeen
// examples purple, the two group titles teal, the three invitation lines pink,
// everything else blue-violet.
QColor opportunity_text_colour(const QString& text);

class COpportunitiesDlg : public QDialog {
    Q_OBJECT
public:
    explicit COpportunitiesDlg(QWidget* parent = nullptr);

    CLinkStatic* link(int id) const;

private:
    // Colours every static text and group title except the three links.
    void apply_text_colours();

    CLinkStatic* info_link_ = nullptr;      // 1097
    CLinkStatic* download_link_ = nullptr;  // 1098
    CLinkStatic* feedback_link_ = nullptr;  // 1099
};

}  // namespace quoralith
