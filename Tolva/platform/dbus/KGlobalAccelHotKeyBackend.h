// The global shortcut on KDE Plasma, where a program cannot grab keys on Wayland: registered with
// the desktop's shortcut service (kglobalaccel, which KWin serves) over the session bus as the
// action "lock" of the component "org.tolva.Screen", which the service reports pressed.
#pragma once

#include "platform/HotKeyManager.h"

#include <QDBusConnection>
#include <QString>

#include <memory>

class QObject;

namespace tolva {

class KGlobalAccelHotKeyBackend : public HotKeyBackend {
public:
    static constexpr const char* componentName = "org.tolva.Screen";
    static constexpr const char* actionName = "lock";

    explicit KGlobalAccelHotKeyBackend(QDBusConnection bus = QDBusConnection::sessionBus());
    ~KGlobalAccelHotKeyBackend() override;

    // Whether the shortcut service is on `bus`.
    static bool isAvailable(QDBusConnection bus = QDBusConnection::sessionBus());

    // 0 on success; HotKeyRefusal::takenStatus when another action has the shortcut; 2 for a key
    // the service cannot name; else the D-Bus error's status.
    std::int32_t registerHotKey(const HotKey& hotKey) override;
    void unregisterHotKey() override;

private:
    void listen(const QString& componentPath);
    void stopListening();

    QDBusConnection bus_;
    std::unique_ptr<QObject> receiver_;
    QString componentPath_;
    bool registered_ = false;
};

} // namespace tolva
