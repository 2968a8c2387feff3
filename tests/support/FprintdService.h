// The real fprintd on a system bus of the test's own: a private dbus-daemon, a polkit stand-in
// (python3-dbusmock's polkitd template) that allows the fingerprint actions, and fprintd over
// libfprint's virtual device, whose socket takes the commands a finger would cause
// ("SCAN <print>", "RETRY <n>", "UNPLUG", …). Prints are stored in the fixture's own folder.
#pragma once

#include "support/ChildProcess.h"

#include <QDBusConnection>
#include <QStringList>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tolva::test {

class FprintdService {
public:
    struct Options {
        bool fprintd = true; // start fprintd at all
        bool reader = true;  // give it the virtual reader
    };
    explicit FprintdService(Options options);
    FprintdService() : FprintdService(Options{}) {}
    ~FprintdService();

    bool isReady() const { return ready_; }
    std::string diagnostics() const;
    // A new connection of the test process to the private system bus.
    QDBusConnection connect(const QString& name);
    QString address() const { return address_; }
    // The default reader's object path.
    QString device();

    // Enrols `print` as the current user's right index finger through fprintd's own D-Bus API.
    bool enroll(const std::string& print);
    // Sends one command to the virtual reader (waits for its socket to appear).
    bool send(const std::string& command);

private:
    bool waitForName(const QString& name);
    std::filesystem::path dir_;
    QString address_;
    std::unique_ptr<ChildProcess> bus_;
    std::unique_ptr<ChildProcess> polkit_;
    std::unique_ptr<ChildProcess> fprintd_;
    QDBusConnection control_;
    std::vector<QString> names_; // of every connection made to this bus
    bool ready_ = false;
};

} // namespace tolva::test
