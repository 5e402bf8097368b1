// Link controls and the launch of addresses.
#include "shell/app/link_static.h"

#include "shell/common/ui_seams.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QEnterEvent>
#include <QFileInfo>
#include <QMouseEvent>

namespace quoralith {

namespace {

UrlLauncher& launcher_slot() {
    static UrlLauncher launcher;
    return launcher;
}

}  // namespace

void set_url_launcher(UrlLauncher launcher) { launcher_slot() = std::move(launcher); }

int open_url(const QString& address, int /*show_command*/) {
    const QString trimmed = address.trimmed();
    if (trimmed.isEmpty()) return LAUNCH_FILE_NOT_FOUND;
    QUrl url = QUrl::fromUserInput(trimmed, QDir::currentPath(), QUrl::AssumeLocalFile);
    if (!url.isValid()) return LAUNCH_FILE_NOT_FOUND;
    if (url.isLocalFile()) {
        QFileInfo file(url.toLocalFile());
        if (!file.absoluteDir().exists()) return LAUNCH_PATH_NOT_FOUND;
        if (!file.exists()) return LAUNCH_FILE_NOT_FOUND;
        if (!file.isReadable()) return LAUNCH_ACCESS_DENIED;
    }
    const UrlLauncher& launcher = launcher_slot();
    bool opened = launcher ? launcher(url) : QDesktopServices::openUrl(url);
    return opened ? LAUNCH_SUCCEEDED : LAUNCH_NO_ASSOCIATION;
}

QString link_error_message(int code) {
    switch (code) {
        case 0: return QStringLiteral("The operating system is out\nof memory or resources.");
        case 2: return QStringLiteral("The specified file was not found.");
        case 3: return QStringLiteral("The specified path was not found.");
        case 5: return QStringLiteral("The operating system denied\naccess to the specified file.");
        case 8: return QStringLiteral("There was not enough memory to complete the operation.");
        case 11: return QStringLiteral("The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image).");
        case 26: return QStringLiteral("A sharing violation occurred. ");
        case 27: return QStringLiteral("The filename association is\nincomplete or invalid.");
        case 28: return QStringLiteral("The DDE transaction could not\nbe completed because the request timed out.");
        case 29: return QStringLiteral("The DDE transaction failed.");
        case 30:
            return QStringLiteral(
                "The DDE transaction could not\nbe completed because other DDE transactions\nwere being processed.");
        case 31: return QStringLiteral("There is no application associated\nwith the given filename extension.");
        case 32: return QStringLiteral("The specified dynamic-link library was not found.");
        default: return QStringLiteral("Unknown Error (%1) occurred.").arg(code);
    }
}

void report_link_error(int code, QWidget* owner) {
    MessageBox::show(owner, link_error_message(code), QString::fromLatin1(LINK_ERROR_CAPTION), MessageIcon::Warning);
}

CLinkStatic::CLinkStatic(QWidget* parent) : QLabel(parent) { setTextFormat(Qt::PlainText); }

CLinkStatic::CLinkStatic(const QString& text, QWidget* parent) : CLinkStatic(parent) { setText(text); }

void CLinkStatic::attach() {
    attached_ = true;
    if (address_.isEmpty()) address_ = text();
    if (text().isEmpty()) setText(address_);
    setMouseTracking(true);
    apply_font();
    fit_to_text();
    setCursor(Qt::PointingHandCursor);
    setToolTip(address_);
    apply_colour();
}

void CLinkStatic::set_address(const QString& address) {
    address_ = address;
    if (!attached_) return;
    fit_to_text();
    setToolTip(address_);
}

void CLinkStatic::set_visited(bool visited) {
    visited_ = visited;
    apply_colour();
}

void CLinkStatic::set_underline(bool underline) {
    underline_ = underline;
    if (attached_) apply_font();
}

QColor CLinkStatic::current_colour() const {
    if (hovering_) return hover_colour;
    return visited_ ? visited_colour : link_colour;
}

void CLinkStatic::apply_colour() {
    QPalette colours = palette();
    colours.setColor(QPalette::WindowText, current_colour());
    setPalette(colours);
    update();
}

void CLinkStatic::apply_font() {
    QFont link_font = font();
    link_font.setUnderline(underline_);
    setFont(link_font);
    update();
}

void CLinkStatic::fit_to_text() {
    if (!adjust_to_fit) return;
    QFontMetrics metrics(font());
    QSize text_size = metrics.size(Qt::TextSingleLine, text());
    QRect area = geometry();
    Qt::Alignment align = alignment();
    if (align & Qt::AlignVCenter)
        area.adjust(0, (area.height() - text_size.height()) / 2, 0, -((area.height() - text_size.height()) / 2));
    else
        area.setHeight(text_size.height());
    if (align & Qt::AlignHCenter) {
        int shrink = (area.width() - text_size.width()) / 2;
        area.adjust(shrink, 0, -shrink, 0);
    } else if (align & Qt::AlignRight) {
        area.setLeft(area.right() + 1 - text_size.width());
    } else {
        area.setWidth(text_size.width());
    }
    setGeometry(area);
}

void CLinkStatic::set_hovering(bool hovering) {
    if (hovering_ == hovering) return;
    hovering_ = hovering;
    apply_colour();
    repaint();
}

void CLinkStatic::enterEvent(QEnterEvent* event) {
    QLabel::enterEvent(event);
    set_hovering(true);
}

void CLinkStatic::leaveEvent(QEvent* event) {
    QLabel::leaveEvent(event);
    set_hovering(false);
}

void CLinkStatic::mouseMoveEvent(QMouseEvent* event) {
    QLabel::mouseMoveEvent(event);
    set_hovering(rect().contains(event->position().toPoint()));
}

void CLinkStatic::mouseReleaseEvent(QMouseEvent* event) {
    QLabel::mouseReleaseEvent(event);
    if (event->button() != Qt::LeftButton || !rect().contains(event->position().toPoint())) return;
    int result = open_url(address_, SW_SHOW);
    if (result > 32) {
        set_visited(true);
        return;
    }
    QApplication::beep();
    report_link_error(result, this);
}

}  // namespace quoralith
