// Opening a picture: read, check, and only then replace the old one.
#include "shell/app/morvane_doc.h"

#include "shell/app/commands.h"
#include "shell/common/ui_seams.h"

#include <QApplication>
#include <QFile>
#include <QGuiApplication>

#include <cstdio>

namespace quoralith {

namespace {

// A box raised with no caption of its own carries the system's "Error".
const char* const SYSTEM_ERROR_CAPTION = "Error";

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

class WaitCursor {
public:
    WaitCursor() {
        if (qobject_cast<QApplication*>(QCoreApplication::instance())) {
            QGuiApplication::setOverrideCursor(Qt::WaitCursor);
            active_ = true;
        }
    }
    ~WaitCursor() {
        if (active_) QGuiApplication::restoreOverrideCursor();
    }

private:
    bool active_ = false;
};

}  // namespace

CMorvaneDoc::CMorvaneDoc(QObject* parent) : QObject(parent) {}

bool CMorvaneDoc::open_document(const QString& path) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(QFile::encodeName(path).constData(), "rb"));
    if (!file) {
        MessageBox::show(nullptr, QStringLiteral("Failed to open document."), QString::fromLatin1(APPLICATION_TITLE),
                         MessageIcon::Warning);
        return false;
    }
    std::unique_ptr<DibBlock> picture;
    std::unique_ptr<DibPalette> palette;
    int width = 1;
    int height = 1;
    {
        WaitCursor wait;
        picture = read_dib_file(file.get());
        init_dib_data(picture, palette, width, height);
    }
    if (!picture) {
        MessageBox::show(nullptr, QStringLiteral("Couldn't load DIB"), QString::fromLatin1(SYSTEM_ERROR_CAPTION),
                         MessageIcon::Information);
        return false;
    }
    picture_ = std::move(picture);
    palette_ = std::move(palette);
    width_ = width;
    height_ = height;
    path_ = path;
    emit changed();
    return true;
}

void CMorvaneDoc::delete_contents() {
    picture_.reset();
    palette_.reset();
    width_ = 1;
    height_ = 1;
    path_.clear();
    emit changed();
}

bool CMorvaneDoc::init_dib_data(std::unique_ptr<DibBlock>& picture, std::unique_ptr<DibPalette>& palette, int& width,
                                int& height) {
    palette.reset();
    if (!picture) return false;
    if (dib_width(*picture) < 0 || dib_height(*picture) < 0) {
        picture.reset();
        MessageBox::show(nullptr, QStringLiteral("DIB is too large"), QString::fromLatin1(SYSTEM_ERROR_CAPTION),
                         MessageIcon::Information);
        return false;
    }
    if (!dib_is_drawable(*picture)) {
        picture.reset();
        return false;
    }
    width = dib_width(*picture);
    height = dib_height(*picture);
    // Pictures deeper than 8 bits without a used-colour count have no table
    // and so no palette; they are drawn all the same.
    auto table = std::make_unique<DibPalette>();
    if (create_dib_palette(*picture, *table)) palette = std::move(table);
    return true;
}

}  // namespace quoralith
