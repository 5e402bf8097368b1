// The main window's view: the background picture (with the window fitted to
// it) or one line of blue text, the two options of the Options menu, the
// startup sound and Help Topics.
//
// Thread safety: user-interface thread only.
#pragma once

#include <QRect>
#include <QWidget>

class QAction;
class QPainter;
class QPrinter;

namespace quoralith {

class CMorvaneApp;
class CMorvaneDoc;

// The line the view shows when it shows no picture.
inline constexpr const char* WELCOME_LINE =
    "Quoralith 1.1 - send only what changed. Made by the Quoralith developers.";

class CMorvaneView : public QWidget {
    Q_OBJECT
public:
    // Takes its copies of the two options from `app`.
    CMorvaneView(CMorvaneApp& app, CMorvaneDoc& document, QWidget* parent = nullptr);
    ~CMorvaneView() override;

    // Creation work: plays the startup sound when the sound option is on.
    void on_create();

    // The Options commands: flip the option, keep the application's copy and
    // the options file in step, and repaint at once.
    void on_options_sound();
    void on_options_picture();
    void on_help_topics();
    // Prints the picture across the page width (the print command).
    void print();

    // Draws the picture at its own size at the top left, or, given a printer,
    // across the printer's page width with the proportions kept.
    void draw(QPainter& painter, QPaintDevice* printer = nullptr);

    void set_option_actions(QAction* sound, QAction* picture);
    void update_option_checks();

    bool picture_mode() const;
    QRect picture_rect() const { return picture_rect_; }
    int sound_playing() const { return sound_playing_; }
    int sound_option() const { return sound_option_; }
    int picture_option() const { return picture_option_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    // Resizes the frame so that this view is exactly the picture's size, and
    // centres it; done after the paint that found the sizes differ.
    void fit_frame_to_picture();
    void stop_sound();

    CMorvaneApp& app_;
    CMorvaneDoc& document_;
    QRect picture_rect_;
    int sound_playing_ = 0;
    int sound_option_ = 0;
    int picture_option_ = 0;
    bool fit_pending_ = false;
    QAction* sound_action_ = nullptr;
    QAction* picture_action_ = nullptr;
};

}  // namespace quoralith
