// The desktop program, quoralith-gui.
#include "quoralith_version.h"
#include "shell/app/morvane_app.h"

#include <QApplication>
#include <QTimer>

#include "shell/app/main_frame.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quoralith"));
    QApplication::setApplicationVersion(QStringLiteral(QUORALITH_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("quoralith-gui"));
    quoralith::CMorvaneApp app;
    if (!app.init_instance()) return 1;
    // "quoralith-gui FILE.dlt", as a file manager starts it for a delta: the
    // Restore sheet opens over the main window once the event loop runs.
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() > 1) {
        const QString delta = arguments.at(1);
        QTimer::singleShot(0, app.main_frame(), [&app, delta] { app.main_frame()->open_delta(delta); });
    }
    return QApplication::exec();
}
