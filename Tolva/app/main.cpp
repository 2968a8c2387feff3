// The process entry: a tray application whose windows come and go.
#include "app/AppDelegate.h"
#include "app/LaunchChecks.h"
#include "log/Log.h"
#include "platform/pam/LoginPasswordCheck.h"
#include "ui/StatusIcon.h"
#include "update/AppUpdater.h"

#include <QApplication>

#include <cstdio>
#include <string_view>
#include <sys/prctl.h>

int main(int argc, char** argv) {
    // No core dumps and no other process of the user reading or tracing our memory: the typed
    // PIN and password pass through it (the password helper too).
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    // The login-password helper (started by the program itself): PAM only, no Qt, no display.
    if (argc >= 2 && argv[1] == tolva::LoginPasswordCheck::helperArgument)
        return tolva::LoginPasswordCheck::runHelper(argc - 2, argv + 2);
    // "tolva-screen 1.2.0": also how a freshly installed update proves that it starts.
    for (int i = 1; i < argc; ++i)
        if (std::string_view(argv[i]) == "--version") {
            std::printf("tolva-screen %s\n", tolva::AppUpdater::runningVersion().c_str());
            return 0;
        }
    if (auto status = tolva::LaunchChecks::checkBeforeStart(argc, argv, stderr))
        return *status;
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
