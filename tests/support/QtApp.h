// The Qt application object that tests of event-loop code need; made once per process.
#pragma once

#include <QCoreApplication>

namespace tolva::test {

inline QCoreApplication& qtApp() {
    if (auto* existing = QCoreApplication::instance())
        return *existing;
    static int argc = 1;
    static char name[] = "tolva-tests";
    static char* argv[] = {name, nullptr};
    // Never destroyed: Qt's own globals may be gone by the time static destructors run.
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    return *app;
}

} // namespace tolva::test
