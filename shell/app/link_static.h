// A static text that behaves like a web link: coloured and underlined, a hand
// cursor, its address as tooltip, and a click that opens the address with the
// user's browser or mail program. A failed launch beeps and explains itself
// with a fixed table of messages.
//
// Thread safety: user-interface thread only.
#pragma once

#include <QColor>
#include <QLabel>
#include <QString>
#include <QUrl>

#include <functional>

namespace quoralith {

// Show commands passed to open_url (kept for the launch's callers; a desktop
// launch decides the window state itself).
inline constexpr int SW_SHOW = 5;
inline constexpr int SW_SHOWMAXIMIZED = 3;

// Launch results: above 32 means success; 0 to 32 are the error codes of the
// message table.
inline constexpr int LAUNCH_SUCCEEDED = 42;
inline constexpr int LAUNCH_FILE_NOT_FOUND = 2;
inline constexpr int LAUNCH_PATH_NOT_FOUND = 3;
inline constexpr int LAUNCH_ACCESS_DENIED = 5;
inline constexpr int LAUNCH_NO_ASSOCIATION = 31;

inline constexpr const char* LINK_ERROR_CAPTION = "ZRV Maint";

// Opens `address` with the desktop's handler for it. Returns LAUNCH_SUCCEEDED,
// or the table's code for what went wrong: an empty or malformed address or a
// missing local file gives 2, a missing folder 3, an unreadable file 5, and a
// launch the desktop refused 31.
int open_url(const QString& address, int show_command);

// The message for a launch code ("Unknown Error (9) occurred." for codes
// outside the table).
QString link_error_message(int code);
// Shows it in a box owned by `owner`.
void report_link_error(int code, QWidget* owner = nullptr);

// What actually hands an address to the desktop (QDesktopServices unless a
// test replaced it); returns false when nothing could open it.
using UrlLauncher = std::function<bool(const QUrl&)>;
void set_url_launcher(UrlLauncher launcher);  // null restores the default

class CLinkStatic : public QLabel {
    Q_OBJECT
public:
    explicit CLinkStatic(QWidget* parent = nullptr);
    CLinkStatic(const QString& text, QWidget* parent);

    // Finishes the control once it has its place and text: an empty address
    // is taken from the text and an empty text from the address; sets the
    // link font, fits the control to its text, the cursor and the tooltip.
    void attach();

    void set_address(const QString& address);
    void set_visited(bool visited);
    void set_underline(bool underline);
    QString address() const { return address_; }
    bool visited() const { return visited_; }
    bool hovering() const { return hovering_; }
    bool underline() const { return underline_; }

    // The text colour now: hover colour while hovering, else visited or link.
    QColor current_colour() const;

    QColor link_colour{255, 0, 255};
    QColor visited_colour{255, 0, 255};
    QColor hover_colour{0, 128, 255};
    bool adjust_to_fit = true;

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void apply_colour();
    void apply_font();
    void fit_to_text();
    void set_hovering(bool hovering);

    bool hovering_ = false;
    bool visited_ = false;
    bool underline_ = true;
    bool attached_ = false;
    QString address_;
};

}  // namespace quoralith
