// Start-up and the options file.
#include "shell/morvane_app.h"

#include "shell/about_dialog.h"
#include "shell/main_frame.h"
#include "shell/morvane_doc.h"
#include "shell/profile_file.h"
#include "shell/program_files.h"
#include "shell/ui_seams.h"

#include <filesystem>
#include <system_error>

namespace quoralith {

namespace {

CMorvaneApp* the_app = nullptr;

std::string join_path(const std::string& directory, const char* name) {
    if (directory.empty()) return name;
    return directory.back() == '/' ? directory + name : directory + "/" + name;
}

}  // namespace

CMorvaneApp::CMorvaneApp(QObject* parent) : QObject(parent) {
    reset_to_defaults(defaults);
    reset_to_defaults(current);
    reset_to_defaults(backup);
    the_app = this;
}

CMorvaneApp::~CMorvaneApp() {
    delete frame_;
    if (the_app == this) the_app = nullptr;
}

CMorvaneApp* CMorvaneApp::instance() { return the_app; }

bool CMorvaneApp::init_instance() {
    // The help contents page; kept whether or not it exists, so that Help
    // Topics can say which file is missing.
    locate_program_file(HELP_SUBDIRECTORY, true, HELP_CONTENTS_FILE, help_path_);

    int place = locate_program_file("", true, OPTIONS_FILE_NAME, options_path_);
    options_write_path_ = options_path_;
    if (place_found(place)) {
        EnableBitmap = profile_read_int(options_path_, "Options", "EnableBitmap", 0);
        EnableSound = profile_read_int(options_path_, "Options", "EnableSound", 0);
        // The data directory is read-only; the user's changes go to the
        // configuration directory instead (seeded from this file at the first
        // write), and from then on that copy is the one read.
        if (place == PLACE_DATA_DIR && !config_directory().empty())
            options_write_path_ = join_path(config_directory(), OPTIONS_FILE_NAME);
    } else {
        EnableBitmap = 1;
        EnableSound = 1;
        write_option("Options", "EnableSound", 1);
        write_option("Options", "EnableBitmap", 1);
        write_option("View", "ToolBar", 1);
        write_option("View", "StatusBar", 1);
        // A working directory that cannot take the file (read-only, or the
        // name taken by a folder) would make every start a first start; the
        // configuration directory keeps the options instead.
        std::error_code ec;
        if (!std::filesystem::is_regular_file(options_path_, ec) && !config_directory().empty()) {
            options_path_ = options_write_path_ = join_path(config_directory(), OPTIONS_FILE_NAME);
            std::filesystem::create_directories(config_directory(), ec);
            write_option("Options", "EnableSound", 1);
            write_option("Options", "EnableBitmap", 1);
            write_option("View", "ToolBar", 1);
            write_option("View", "StatusBar", 1);
        }
    }

    document_ = new CMorvaneDoc(this);
    picture_loaded = 1;
    bool opened = false;
    for (const char* name : {PICTURE_FILE_NAME, FALLBACK_PICTURE_FILE_NAME}) {
        std::string path;
        if (place_found(locate_program_file("", true, name, path)) &&
            document_->open_document(QString::fromStdString(path))) {
            opened = true;
            break;
        }
    }
    if (!opened) picture_loaded = 0;

    frame_ = new CMainFrame(*this, *document_);
    frame_->show();
    frame_->start_view();

    load_report_templates(report_templates);
    return true;
}

std::string CMorvaneApp::readable_options_path() const {
    std::error_code ec;
    if (options_write_path_ != options_path_ && std::filesystem::exists(options_write_path_, ec))
        return options_write_path_;
    return options_path_;
}

int CMorvaneApp::read_option(const char* section, const char* key, int fallback) const {
    return profile_read_int(readable_options_path(), section, key, fallback);
}

void CMorvaneApp::write_option(const char* section, const char* key, int value) {
    if (options_write_path_.empty()) return;
    std::error_code ec;
    if (options_write_path_ != options_path_ && !std::filesystem::exists(options_write_path_, ec)) {
        std::filesystem::create_directories(std::filesystem::path(options_write_path_).parent_path(), ec);
        std::filesystem::copy_file(options_path_, options_write_path_, ec);
    }
    profile_write_text(options_write_path_, section, key, std::to_string(value));
}

void CMorvaneApp::on_app_about() {
    CAboutDlg about(frame_);
    ModalDialog::exec(about);
}

}  // namespace quoralith
