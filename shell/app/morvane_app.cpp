// Start-up and the options file.
#include "shell/app/morvane_app.h"

#include "base/profile_file.h"
#include "base/program_files.h"
#include "shell/app/about_dialog.h"
#include "shell/app/main_frame.h"
#include "shell/app/morvane_doc.h"
#include "shell/common/ui_seams.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
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

    find_options_file();
    if (!options_path_.empty()) {
        EnableBitmap = profile_read_int(options_path_, "Options", "EnableBitmap", 0);
        EnableSound = profile_read_int(options_path_, "Options", "EnableSound", 0);
    } else {
        // The first start: every option on, kept in the configuration directory.
        options_path_ = options_write_path_;
        EnableBitmap = 1;
        EnableSound = 1;
        write_option("Options", "EnableSound", 1);
        write_option("Options", "EnableBitmap", 1);
        write_option("View", "ToolBar", 1);
        write_option("View", "StatusBar", 1);
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

// The options file is the user's, in the configuration directory, wherever
// the program is started from. Two older places are read when that file does
// not exist yet: an options file an earlier version left in the current
// directory is taken over once (copied into the configuration directory,
// never written where it lies), and one shipped in the read-only data
// directory seeds the user's file at the first change.
void CMorvaneApp::find_options_file() {
    const std::string config = config_directory();
    options_write_path_ = config.empty() ? std::string() : join_path(config, OPTIONS_FILE_NAME);
    options_path_.clear();
    std::error_code ec;
    auto usable = [&ec](const std::string& path) {
        return !path.empty() && std::filesystem::is_regular_file(path, ec) && ::access(path.c_str(), R_OK) == 0;
    };
    if (usable(options_write_path_)) {
        options_path_ = options_write_path_;
        return;
    }
    const std::filesystem::path cwd = std::filesystem::current_path(ec);
    const std::string left_behind = ec ? std::string() : (cwd / OPTIONS_FILE_NAME).string();
    if (usable(left_behind) && left_behind != options_write_path_) {
        options_path_ = left_behind;
        std::ifstream in(left_behind, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        // Taken over: from now on the copy is the one read and written. When
        // the copy cannot be made the old file is still read, and the first
        // change then makes the copy.
        if (in && !options_write_path_.empty() && replace_file_atomically(options_write_path_, content.str()))
            options_path_ = options_write_path_;
        return;
    }
    const std::string data = program_data_directory();
    const std::string shipped = data.empty() ? std::string() : join_path(data, OPTIONS_FILE_NAME);
    if (usable(shipped)) options_path_ = shipped;
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
