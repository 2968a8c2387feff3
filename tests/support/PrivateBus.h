// A D-Bus daemon of the test's own, so tests that register well-known names never meet.
#pragma once

#include "support/ChildProcess.h"

#include <QDBusConnection>
#include <QString>

#include <filesystem>
#include <memory>
#include <vector>

namespace tolva::test {

class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    QString address() const { return address_; }
    // A fresh connection of the test process to this bus.
    QDBusConnection connect(const QString& name);
    // Starts the fake desktop services on this bus (see FakeDesktopServices.cpp).
    std::unique_ptr<ChildProcess> startFakeServices(bool login1, bool screenSaver);
    // Calls a method of the fakes' control interface.
    QVariant control(const QString& method, const QVariantList& arguments = {});

private:
    std::filesystem::path dir_;
    std::unique_ptr<ChildProcess> daemon_;
    QString address_;
    QDBusConnection controlBus_;
    std::vector<QString> names_; // of every connection made to this bus
};

} // namespace tolva::test
