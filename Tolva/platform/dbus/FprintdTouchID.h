// Fingerprint unlock through fprintd (net.reactivated.Fprint) on the system bus: the default
// reader, the current user's enrolled fingers, and one verification at a time while the unlock
// panel is shown. The bus is the one given (the program passes the system bus, which honours
// DBUS_SYSTEM_BUS_ADDRESS; tests pass a private one).
//
// A presentation claims the reader for the current user, starts verifying "any" finger and shows
// the fingerprint control in the panel. Results of fprintd's VerifyStatus signal:
//   verify-match                              → "Touch ID accepted", onSuccess
//   verify-no-match                           → logged, verification restarted: keep waiting
//   verify-retry-scan, verify-swipe-too-short,
//   verify-finger-not-centered, verify-remove-and-retry → logged, keep waiting
//   verify-disconnected, verify-unknown-error, anything else, and a claim or start that fails
//   (reader busy with another program, permission refused) → "Touch ID ended: <why>"
// Every reply carries the presentation's token: a reply that arrives after `dismiss` or a newer
// `present` is ignored, except that a reader it claimed is given back.
#pragma once

#include "lock/LockCollaborators.h"
#include "unlock/FingerprintControl.h"
#include "unlock/UnlockPanel.h"

#include <QDBusConnection>
#include <QObject>
#include <QPointer>

#include <cstdint>
#include <memory>

namespace tolva {

class FprintdTouchID : public QObject, public TouchIDUnlock {
    Q_OBJECT

public:
    static constexpr int callTimeoutMs = 5000;

    explicit FprintdTouchID(QDBusConnection systemBus);
    ~FprintdTouchID() override;

    Availability availability() const override { return availability_; }
    void refreshAvailability() override;
    bool isPresented() const override { return session_ != nullptr; }
    void present(UnlockPanel* panel, std::function<void()> onSuccess) override;
    void dismiss() override;

    // For tests and the panel: the control shown now, and whether the reader is verifying.
    FingerprintControl* control() const { return control_; }
    bool isVerifying() const;

private slots:
    void verifyStatus(const QString& result, bool done);

private:
    struct Session;
    void setAvailability(Availability next);
    void claim(const std::shared_ptr<Session>& session);
    void readerFreed();
    void claimed(const std::shared_ptr<Session>& session);
    void startVerify(const std::shared_ptr<Session>& session);
    void restartVerify(const std::shared_ptr<Session>& session);
    void end(const std::string& why);
    // Gives the reader back as far as the session got (stop, then release).
    void close(const std::shared_ptr<Session>& session);
    void removeControl();
    void watchSignals(const QString& device, bool on);

    QDBusConnection bus_;
    Availability availability_;
    QString device_; // the default reader's object path, when available
    std::uint64_t refreshGeneration_ = 0;
    std::uint64_t token_ = 0;
    std::shared_ptr<Session> session_;
    int holders_ = 0;                       // presentations that claim, hold or give back the reader
    std::shared_ptr<Session> waitingClaim_; // a presentation waiting for the reader to be free
    QPointer<UnlockPanel> host_;
    QPointer<FingerprintControl> control_;
};

} // namespace tolva
