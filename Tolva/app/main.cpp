// The process entry: a tray application whose windows come and go.
#include "app/AppDelegate.h"
#include "log/Log.h"
#include "ui/StatusIcon.h"
#include "update/AppUpdater.h"

#include <QApplication>

#include <cstdio>
#include <string_view>

int main(int argc, char** argv) {
    // "tolva-screen 1.2.0": also how a freshly installed update proves that it starts.
    for (int i = 1; i < argc; ++i)
        if (std::string_view(argv[i]) == "--version") {
            std::printf("tolva-screen %s\n", tolva::AppUpdater::runningVersion().c_str());
            return 0;
        }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tolva Screen"));
    QApplication::setDesktopFileName(QStringLiteral("org.tolva.Screen"));
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(tolva::StatusIcon::applicationIcon());
    tolva::AppDelegate delegate;
    if (auto status = delegate.launch(app.arguments()))
        return *status;
    const int status = app.exec();
    tolva::Log::flush();
    return status;
}
