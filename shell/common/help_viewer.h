// The program's help: HTML pages shipped in the data directory's "help"
// folder, shown in an in-app viewer. Each page names the keywords it answers
// in a <meta name="keywords"> line (keywords separated by ";"), so dialogs can
// ask for a topic by keyword.
//
// Thread safety: user-interface thread only; one viewer window per process.
// Help asked for from a modal dialog opens as that dialog's child window, the
// one kind of window a modal dialog leaves usable.
#pragma once

#include <QDialog>
#include <QMap>
#include <QString>
#include <QUrl>

class QTextBrowser;

namespace quoralith {

// The contents page; the other pages sit beside it.
inline constexpr const char* HELP_CONTENTS_FILE = "Qrlith32.html";

// The keywords of every page in `help_directory`, each mapped to its page.
// Keywords compare exactly; the first page naming a keyword wins.
QMap<QString, QString> read_help_keywords(const QString& help_directory);

// The page for `keyword` in the folder of `contents_path`: an exact match,
// else one that differs only in case or surrounding blanks; empty when none.
QString help_topic_for_keyword(const QString& contents_path, const QString& keyword);

class HelpViewer : public QDialog {
    Q_OBJECT
public:
    // The viewer window, created on first use.
    static HelpViewer* instance();
    // The viewer made ready for help asked for from `asker`: while a modal
    // dialog is up (the asker's window or another) the viewer is that
    // dialog's child window, which the dialog does not block and which stays
    // above it; otherwise a window of its own.
    static HelpViewer* instance_for(QWidget* asker);
    QTextBrowser* browser() const { return browser_; }
    // Shows `page` (a local file) and brings the window up.
    void show_page(const QString& page);
    QUrl current_page() const;

private:
    explicit HelpViewer(QWidget* parent = nullptr);
    QTextBrowser* browser_ = nullptr;
    QString contents_;
};

// Closes the help viewer when it is open (a dialog that led to help takes
// the help along when it goes).
void close_help();

// Help Topics: shows the contents page. When it is missing the user is told
// which file was not found, and false is returned.
bool show_help_contents(QWidget* parent, const QString& contents_path);
// Shows the topic for `keyword`; an unknown keyword shows the contents page
// with a note of the keyword that was not found.
bool show_help_keyword(QWidget* parent, const QString& contents_path, const QString& keyword);

}  // namespace quoralith
