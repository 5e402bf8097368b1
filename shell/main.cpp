// The desktop program, quoralith-gui.
#include "shell/morvane_app.h"
#include "quoralith_version.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quoralith"));
    QApplication::setApplicationVersion(QStringLiteral(QUORALITH_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("quoralith-gui"));
    quoralith::CMorvaneApp app;
    if (!app.init_instance()) return 1;
    return QApplication::exec();
}
