// The About box: version text, the program's picture and the web-site button.
#pragma once

#include <QDialog>

#include "quoralith_version.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace quoralith {

class PictureFrame;

inline constexpr const char* VERSION_LINE = "    Quoralith  Version " QUORALITH_VERSION_SHORT;
inline constexpr const char* WEB_ADDRESS = "http://www.quoralith.example";
inline constexpr int ABOUT_PICTURE_WIDTH = 309;
inline constexpr int ABOUT_PICTURE_HEIGHT = 139;

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    QPlainTextEdit* version_edit() const { return edit_; }
    PictureFrame* picture_frame() const { return frame_; }
    QPushButton* web_button() const { return web_; }

    // Places the picture frame: centred across the dialog, one twenty-fifth of
    // the version text's width below it. Runs at initialisation and again
    // whenever the dialog changes size.
    void place_picture_frame();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QPlainTextEdit* edit_ = nullptr;
    PictureFrame* frame_ = nullptr;
    QPushButton* web_ = nullptr;
};

}  // namespace quoralith
