// The mail message: recipient parsing, the header and the transparent body.
#include "mail/mail_message.h"

#include <cstdio>

namespace quoralith {

namespace {

// Header fields and envelope addresses are single lines; a line break typed or
// pasted into one would end the line early and let the rest read as another
// header or another SMTP command.
std::string one_line(std::string_view text) {
    std::string line(text);
    for (char& c : line)
        if (c == '\r' || c == '\n') c = ' ';
    return line;
}

}  // namespace

bool MailMessage::add_recipients(std::string_view text) {
    std::size_t start = 0;
    while (true) {
        std::size_t end = text.find(';', start);
        std::string_view piece = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        std::size_t open = piece.find('<');
        if (open == std::string_view::npos) {
            recipients.push_back({std::string(piece), std::string()});
        } else {
            std::size_t first_close = piece.find('>');
            if (first_close != std::string_view::npos && first_close < open) return false;
            std::size_t close = piece.find('>', open + 1);
            std::string_view address =
                piece.substr(open + 1, close == std::string_view::npos ? std::string_view::npos : close - open - 1);
            recipients.push_back({std::string(address), std::string(piece.substr(0, open))});
        }
        if (end == std::string_view::npos) return true;
        start = end + 1;
    }
}

bool MailMessage::prepare_header(std::string_view mailer, std::time_t now) {
    if (recipients.empty()) return false;
    date = now;
    std::string to;
    for (std::size_t i = 0; i < recipients.size(); ++i) {
        if (i > 0) to += ",";
        to += recipients[i].name + "<" + recipients[i].address + ">";
    }
    // A line break inside a field would start a header line of its own.
    header = "Date: " + format_mail_date(now) + "\r\nFrom: " + one_line(from) + "\r\nTo: " + one_line(to) +
             "\r\nSubject: " + one_line(subject) + "\r\nX-Mailer: <" + one_line(mailer) + ">\r\n\r\n";
    return true;
}

std::string MailMessage::transparent_body() const {
    std::string lines = to_crlf(body);
    // The canned message is twenty lines, most of them often empty, and a
    // form's text may end in line breaks: the mail would end in a run of
    // blank lines. Blanks and tabs on the last lines go with them.
    std::size_t last_text = lines.find_last_not_of(" \t\r\n");
    if (last_text == std::string::npos) return {};
    std::size_t line_end = lines.find("\r\n", last_text);
    if (line_end != std::string::npos) lines.resize(line_end);
    lines += "\r\n";
    std::string out;
    out.reserve(lines.size() + lines.size() / 16);
    bool line_start = true;
    for (char c : lines) {
        if (line_start && c == '.') out += '.';
        out += c;
        line_start = c == '\n';
    }
    return out;
}

std::string to_crlf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string format_mail_date(std::time_t when) {
    static const char* const DAYS[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm local{};
    if (!localtime_r(&when, &local)) return {};
    long offset_minutes = local.tm_gmtoff / 60;
    char sign = offset_minutes < 0 ? '-' : '+';
    if (offset_minutes < 0) offset_minutes = -offset_minutes;
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", DAYS[local.tm_wday % 7],
                  local.tm_mday, MONTHS[local.tm_mon % 12], local.tm_year + 1900, local.tm_hour, local.tm_min,
                  local.tm_sec, sign, offset_minutes / 60, offset_minutes % 60);
    return text;
}

}  // namespace quoralith
