// Painting the picture or the welcome line, the options, the sound and help.
#include "shell/app/morvane_view.h"

#include "shell/app/commands.h"
#include "shell/app/main_frame.h"
#include "shell/app/morvane_app.h"
#include "shell/app/morvane_doc.h"
#include "shell/app/wave_sound.h"
#include "shell/common/help_viewer.h"
#include "shell/common/ui_seams.h"

#include <QAction>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPrinter>
#include <QScreen>
#include <QTimer>

namespace quoralith {

CMorvaneView::CMorvaneView(CMorvaneApp& app, CMorvaneDoc& document, QWidget* parent)
    : QWidget(parent), app_(app), document_(document) {
    setObjectName(QStringLiteral("CMorvaneView"));
    setAutoFillBackground(true);
    QPalette colours = palette();
    colours.setColor(QPalette::Window, colours.color(QPalette::Base));
    setPalette(colours);
    sound_option_ = app_.EnableSound;
    picture_option_ = app_.EnableBitmap;
}

CMorvaneView::~CMorvaneView() {
    // The output device must not outlive the window system it plays through.
    if (sound_playing_) audio_output().close();
}

void CMorvaneView::on_create() {
    if (!app_.EnableSound) return;
    if (!wave_prepare(app_.wave_sound)) return;
    int code = wave_play(app_.wave_sound);
    if (code != 0)
        wave_report_error(code);
    else
        sound_playing_ = 1;
}

void CMorvaneView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) stop_sound();
    QWidget::mousePressEvent(event);
}

void CMorvaneView::stop_sound() {
    if (!sound_playing_) return;
    int code = audio_output().reset();
    if (code != 0) wave_report_error(code);
    code = audio_output().close();
    if (code != 0)
        wave_report_error(code);  // the flag stays, so the next click tries again
    else
        sound_playing_ = 0;
}

void CMorvaneView::set_option_actions(QAction* sound, QAction* picture) {
    sound_action_ = sound;
    picture_action_ = picture;
    update_option_checks();
}

void CMorvaneView::update_option_checks() {
    if (sound_action_) sound_action_->setChecked(sound_option_ != 0);
    if (picture_action_) picture_action_->setChecked(picture_option_ != 0);
}

void CMorvaneView::on_options_picture() {
    picture_option_ = picture_option_ ? 0 : 1;
    app_.EnableBitmap = picture_option_;
    hide();
    show();
    update();
    app_.write_option("Options", "EnableBitmap", picture_option_);
    update_option_checks();
}

void CMorvaneView::on_options_sound() {
    // Takes effect at the next start; nothing is played or stopped now.
    sound_option_ = sound_option_ ? 0 : 1;
    app_.EnableSound = sound_option_;
    app_.write_option("Options", "EnableSound", sound_option_);
    update_option_checks();
}

void CMorvaneView::on_help_topics() { show_help_contents(nullptr, app_.help_file_path()); }

bool CMorvaneView::picture_mode() const { return app_.picture_loaded && picture_option_; }

void CMorvaneView::draw(QPainter& painter, QPaintDevice* printer) {
    const DibBlock* picture = document_.picture();
    if (!picture) return;
    QRect source(0, 0, document_.width(), document_.height());
    QRect destination = source;
    if (printer) {
        // Across the page width, with the proportions kept in physical units.
        int x = printer->width();
        double y = double(printer->logicalDpiY()) * x * document_.height() /
                   (double(printer->logicalDpiX()) * document_.width());
        destination = QRect(0, 0, x, int(y));
    }
    paint_dib(painter, destination, picture, source, document_.palette());
    picture_rect_ = source;
}

void CMorvaneView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(QColor(0, 0, 255));
    window()->setWindowTitle(QString::fromLatin1(MAIN_CAPTION));
    if (picture_mode()) {
        draw(painter);
        if (document_.picture() && picture_rect_.size() != size() && !fit_pending_) {
            fit_pending_ = true;
            QTimer::singleShot(0, this, &CMorvaneView::fit_frame_to_picture);
        }
        return;
    }
    QRect client = rect();
    QRect line(client.left() + 10, client.bottom() - 25, client.width() - 20, 20);
    painter.drawText(line, Qt::AlignHCenter | Qt::AlignTop, QString::fromLatin1(WELCOME_LINE));
}

void CMorvaneView::fit_frame_to_picture() {
    fit_pending_ = false;
    if (!picture_mode() || !document_.picture()) return;
    QWidget* frame = window();
    QSize picture = picture_rect_.size();
    QSize view = size();
    if (picture == view) return;
    QSize before = frame->size();
    frame->resize(frame->width() + picture.width() - view.width(),
                  frame->height() + picture.height() - view.height());
    // Re-centred only when the size changed, so that a window the user moved
    // stays where it was on later repaints (and a picture smaller than the
    // bars allow does not pin the window to the centre).
    if (frame->size() == before) return;
    if (QScreen* screen = frame->screen()) {
        QRect area = screen->availableGeometry();
        QRect outer = frame->frameGeometry();
        frame->move(area.center().x() - outer.width() / 2, area.center().y() - outer.height() / 2);
    }
}

void CMorvaneView::print() {
    if (!document_.picture()) return;
    QPrinter printer(QPrinter::HighResolution);
    if (!PrintDialog::choose(printer, this)) return;
    QPainter painter;
    if (!painter.begin(&printer)) {
        MessageBox::show(this, tr("The picture could not be printed."), QString::fromLatin1(APPLICATION_TITLE),
                         MessageIcon::Warning);
        return;
    }
    draw(painter, &printer);
    painter.end();
}

}  // namespace quoralith
