// The main window's document: one bitmap picture read whole into memory. It is
// only ever read; nothing writes it back to its file.
//
// Thread safety: user-interface thread only.
#pragma once

#include "shell/common/dib.h"

#include <QObject>
#include <QString>

#include <memory>

namespace quoralith {

class CMorvaneDoc : public QObject {
    Q_OBJECT
public:
    explicit CMorvaneDoc(QObject* parent = nullptr);

    // Reads the bitmap file at `path`. On failure the user is told why
    // ("Failed to open document.", "DIB is too large", "Couldn't load DIB"),
    // false is returned and the document keeps the picture it had.
    bool open_document(const QString& path);
    // Drops the picture (the new-document command).
    void delete_contents();

    const DibBlock* picture() const { return picture_.get(); }
    const DibPalette* palette() const { return palette_.get(); }
    int width() const { return width_; }
    int height() const { return height_; }
    QString path_name() const { return path_; }

    // Checks a freshly read picture and takes its size and palette. A picture
    // with a negative width or height is dropped with "DIB is too large"; one
    // that cannot be drawn (an unknown header, compression, pixel rows beyond
    // the end of the file) is dropped silently. Returns true when a picture is
    // left.
    bool init_dib_data(std::unique_ptr<DibBlock>& picture, std::unique_ptr<DibPalette>& palette, int& width,
                       int& height);

signals:
    void changed();

private:
    std::unique_ptr<DibBlock> picture_;
    std::unique_ptr<DibPalette> palette_;
    int width_ = 1;
    int height_ = 1;
    QString path_;
};

}  // namespace quoralith
