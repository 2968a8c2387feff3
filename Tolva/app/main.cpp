// The process entry: a tray application whose windows come and go.
#include "app/AppDelegate.h"
#include "app/Log.h"
#include "platform/pam/LoginPasswordCheck.h"

#include <QApplication>

int main(int argc, char** argv) {
    // The login-password helper (started by the program itself): PAM only, no Qt, no display.
    if (argc >= 2 && argv[1] == tolva::LoginPasswordCheck::helperArgument)
        return tolva::LoginPasswordCheck::runHelper(argc - 2, argv + 2);
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
