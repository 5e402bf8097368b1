// The desktop program's application object: start-up, the options file, the
// three job records and the side files' paths, for the whole run.
//
// Thread safety: user-interface thread only. One instance per process
// (instance() finds it), created before the main window.
#pragma once

#include "jobs/report.h"
#include "sheets/job_settings.h"
#include "shell/app/wave_sound.h"
#include "shell/common/help_viewer.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <string>

namespace quoralith {

class CMainFrame;
class CMorvaneDoc;

inline constexpr const char* OPTIONS_FILE_NAME = "Qralith.ini";
inline constexpr const char* HELP_SUBDIRECTORY = "help";
inline constexpr const char* PICTURE_FILE_NAME = "QRALITH.bmp";
inline constexpr const char* FALLBACK_PICTURE_FILE_NAME = "QRALITH0.bmp";

class CMorvaneApp : public QObject {
    Q_OBJECT
public:
    // Resets the three job records to their defaults.
    explicit CMorvaneApp(QObject* parent = nullptr);
    ~CMorvaneApp() override;

    static CMorvaneApp* instance();

    // Start-up, in order: the help contents path, the options file (in the
    // configuration directory; created with every option on when there is
    // none, and taken over from the current directory where an earlier
    // version left it), the background picture
    // ("QRALITH.bmp", else "QRALITH0.bmp", else an empty document), the main
    // window with its view (which starts the startup sound), and the report
    // templates. Always succeeds; problems with side files are shown or
    // passed over as the user would expect.
    bool init_instance();

    // The options file's integer under `section`/`key`, or `fallback`.
    int read_option(const char* section, const char* key, int fallback) const;
    // Writes `value` as decimal text; a failed write is ignored.
    void write_option(const char* section, const char* key, int value);
    // Where reads of the options file go and where writes go. Writes go only
    // to the configuration directory's file. Reads differ from writes when the
    // options file was found in the read-only data directory (the first write
    // then seeds the user's copy, which later reads use), and when an old file
    // in the current directory could not be copied over.
    QString options_file_path() const { return QString::fromStdString(options_path_); }
    QString options_write_path() const { return QString::fromStdString(options_write_path_); }
    QString help_file_path() const { return QString::fromStdString(help_path_); }

    CMorvaneDoc* document() const { return document_; }
    CMainFrame* main_frame() const { return frame_; }

    // Shows the About box (command 57664).
    void on_app_about();

    JobSettings defaults;
    JobSettings current;
    JobSettings backup;
    int EnableBitmap = 0;
    int EnableSound = 0;
    int picture_loaded = 0;
    ReportTemplates report_templates;
    WaveSound wave_sound;

    // The options file that reads go to now: the configuration directory's
    // copy once one was written, else options_file_path().
    std::string readable_options_path() const;

private:
    // Sets the two options paths (options_path_ empty when no options file
    // exists anywhere yet).
    void find_options_file();

    std::string options_path_;
    std::string options_write_path_;
    std::string help_path_;
    CMorvaneDoc* document_ = nullptr;
    CMainFrame* frame_ = nullptr;
};

}  // namespace quoralith
