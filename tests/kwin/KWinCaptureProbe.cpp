// Captures every output once through KWinScreenCapture and prints what came back, one line per
// output: "NAME WIDTHxHEIGHT" or "NAME failed: WHY". The tests run it where no .desktop entry
// names it, to see KWin refuse a program it does not know.
#include "platform/wayland/KWinScreenCapture.h"
#include "platform/wayland/WaylandConnection.h"

#include <QCoreApplication>
#include <QTimer>

#include <iostream>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    auto connection = tolva::WaylandConnection::connect();
    if (!connection) {
        std::cerr << "no Wayland compositor\n";
        return 1;
    }
    tolva::KWinScreenCapture capture(connection);
    if (!capture.isAvailable()) {
        std::cerr << "no screenshot service on the session bus\n";
        return 1;
    }
    capture.captureOutputs([&](tolva::KWinScreenCapture::Pictures pictures) {
        for (const auto& output : connection->outputInfos()) {
            if (pictures.count(output.name)) {
                const QImage& picture = pictures.at(output.name);
                std::cout << output.name << " " << picture.width() << "x" << picture.height() << "\n";
            } else {
                const auto& failures = capture.failures();
                std::cout << output.name << " failed: "
                          << (failures.count(output.name) ? failures.at(output.name) : "no reason") << "\n";
            }
        }
        app.quit();
    });
    QTimer::singleShot(20000, &app, [&] {
        std::cerr << "no answer\n";
        app.exit(1);
    });
    return app.exec();
}
