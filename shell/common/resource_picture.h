// Pictures built into the program (the About picture, the wizard's pictures,
// the toolbar strip, the picture buttons), stored as bitmap files in the Qt
// resource system and read with our own bitmap reader.
//
// Thread safety: user-interface thread (QImage and widgets).
#pragma once

#include "shell/common/dib.h"

#include <QFrame>
#include <QImage>
#include <QString>

namespace quoralith {

// Resource ids of the built-in pictures.
enum PictureResource : int {
    IDR_MAINFRAME = 2,        // the toolbar strip, eight 70x63 images
    IDB_ABOUT = 132,          // About box, 310x141
    IDB_WIZARD_START = 135,   // the wizard's side pictures, 200x298: its start,
    IDB_WIZARD_KIND = 136,    // the choice of file or folder,
    IDB_WIZARD_BASE = 137,    // and the three names
    IDB_WIZARD_DELTA = 138,
    IDB_WIZARD_UPDATED = 139,
};

// Loads the picture with resource id `id` (or the named one: "ROCKET64U",
// "ROCKET64D", "VIDEOU", "VIDEOX", "PLAYERU") into `bitmap`, and its colour
// table into `palette` when it has at most 256 colours (deeper pictures get an
// empty palette: they need none on a true-colour display). Returns 1 when the
// picture was loaded, 0 otherwise (both outputs then unchanged).
int load_resource_picture(int id, QImage& bitmap, DibPalette& palette);
int load_resource_picture(const QString& name, QImage& bitmap, DibPalette& palette);

// A frame that shows a built-in picture at its own scale from its top-left
// corner, clipped to the frame (the About box's and the wizard's picture areas).
class PictureFrame : public QFrame {
    Q_OBJECT
public:
    explicit PictureFrame(QWidget* parent = nullptr);
    // Chooses the picture; 0 shows none. Repaints.
    void setPictureId(int id);
    int pictureId() const { return picture_id_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int picture_id_ = 0;
};

}  // namespace quoralith
