// The process entry: a tray application whose windows come and go.
#include "app/AppDelegate.h"
#include "app/LaunchChecks.h"
#include "log/Log.h"
#include "platform/pam/LoginPasswordCheck.h"
#include "ui/StatusIcon.h"
#include "update/AppUpdater.h"

#include <QApplication>

#include <cstdio>
#include <sys/prctl.h>

int main(int argc, char** argv) {
    // No core dumps and no other process of the user reading or tracing our memory: the typed
    // PIN and password pass through it (the password helper too).
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    // The login-password helper (started by the program itself): PAM only, no Qt, no display.
    if (argc >= 2 && argv[1] == tolva::LoginPasswordCheck::helperArgument)
        return tolva::LoginPasswordCheck::runHelper(argc - 2, argv + 2);
    // "--help", "--version" and a malformed command line answer here, without a display or a bus.
    if (auto status = tolva::LaunchChecks::checkBeforeStart(argc, argv, stdout, stderr,
                                                            tolva::AppUpdater::runningVersion()))
        return *status;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tolva Screen"));
    QApplication::setDesktopFileName(QStringLiteral("org.tolva.Screen"));
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(tolva::StatusIcon::applicationIcon());
    // One program per desktop session: a second start hands its command line to the running one
    // and ends, before it reaches for the keyring, the X server or the system bus.
    auto instance = tolva::AppDelegate::claimInstance(app.arguments());
    if (instance.exitStatus) {
        tolva::Log::flush();
        return *instance.exitStatus;
    }
    tolva::AppDelegate delegate(std::move(instance));
    if (auto status = delegate.launch(app.arguments()))
        return *status;
    const int status = app.exec();
    tolva::Log::flush();
    return status;
}
