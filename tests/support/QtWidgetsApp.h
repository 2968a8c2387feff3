// The QApplication that widget tests need, once per process: offscreen for unit tests, on the
// test session's X display for end-to-end ones.
#pragma once

#include <QApplication>

namespace tolva::test {

inline QApplication& widgetsApp(bool offscreen = true) {
    if (auto* existing = qobject_cast<QApplication*>(QCoreApplication::instance()))
        return *existing;
    if (offscreen)
        qputenv("QT_QPA_PLATFORM", "offscreen");
    else
        qputenv("QT_QPA_PLATFORM", "xcb");
    static int argc = 1;
    static char name[] = "tolva-tests";
    static char* argv[] = {name, nullptr};
    // Never destroyed: Qt's own globals may be gone by the time static destructors run.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

} // namespace tolva::test
