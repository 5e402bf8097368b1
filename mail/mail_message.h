// One plain-text mail message for the SMTP client: sender, subject, body and an
// ordered list of recipients, with the header and the body in the form they
// travel in.
//
// Thread safety: a MailMessage is a plain value; use one from one thread at a time.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace quoralith {

struct MailRecipient {
    std::string address;
    std::string name;
};

class MailMessage {
public:
    // Used as typed, in the envelope and in the "From:" header.
    std::string from;
    std::string subject;
    // Any line ends; they travel as CR LF.
    std::string body;
    std::vector<MailRecipient> recipients;
    // Built by prepare_header.
    std::string header;
    // The local time the header was built at.
    std::time_t date = 0;

    // Splits `text` at every ";" (and at its end) and adds each piece in order:
    // a piece without "<" is a bare address; "name <address>" gives the name
    // before "<" and the address up to the next ">" (or the piece's end).
    // Nothing is trimmed and an empty piece adds an empty address. A piece whose
    // ">" stands before its "<" stops the split: the pieces before it stay added
    // and the result is false.
    bool add_recipients(std::string_view text);

    // Builds `header` for the time `now`: Date, From, To (every recipient as
    // name "<" address ">", separated by ","), Subject and X-Mailer, ended by an
    // empty line. False, and nothing built, when there are no recipients.
    bool prepare_header(std::string_view mailer, std::time_t now);

    // The body as it goes between DATA and the end-of-data line: every line end
    // (LF, CR or CR LF) as CR LF, the blank lines at its end dropped, exactly
    // one CR LF at its end (nothing for a body with no text), and one more "."
    // in front of every line that begins with ".".
    std::string transparent_body() const;
};

// `when` in local time as a mail header date, "Mon, 07 Dec 2026 18:20:05 +0100":
// English names whatever the process's locale, four-digit year, numeric zone.
std::string format_mail_date(std::time_t when);

// Every LF, CR or CR LF of `text` as CR LF.
std::string to_crlf(std::string_view text);

}  // namespace quoralith
