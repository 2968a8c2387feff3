// The process entry: a tray application whose windows come and go.
#include "app/AppDelegate.h"
#include "app/Log.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tolva Screen"));
    QApplication::setDesktopFileName(QStringLiteral("org.tolva.Screen"));
    QApplication::setQuitOnLastWindowClosed(false);
    tolva::AppDelegate delegate;
    if (auto status = delegate.launch(app.arguments()))
        return *status;
    const int status = app.exec();
    tolva::Log::flush();
    return status;
}
