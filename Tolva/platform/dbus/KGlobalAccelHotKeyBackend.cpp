// doRegister and setShortcut on /kglobalaccel, globalShortcutPressed from the component's object.
#include "platform/dbus/KGlobalAccelHotKeyBackend.h"

#include "log/Log.h"
#include "platform/dbus/DBusCall.h"
#include "ui/StatusMenuController.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QObject>

namespace tolva {

namespace {

const QString service = QStringLiteral("org.kde.kglobalaccel");
const QString path = QStringLiteral("/kglobalaccel");
const QString interface = QStringLiteral("org.kde.KGlobalAccel");
const QString componentInterface = QStringLiteral("org.kde.kglobalaccel.Component");

// setShortcut's flags: make the keys the present ones, and do not take those stored from an
// earlier session instead (the settings hold the user's choice).
constexpr uint setPresent = 2;
constexpr uint noAutoloading = 4;

// Component, action, and their names in the desktop's shortcut settings.
QStringList actionId() {
    return {QString::fromLatin1(KGlobalAccelHotKeyBackend::componentName),
            QString::fromLatin1(KGlobalAccelHotKeyBackend::actionName), QStringLiteral("Tolva Screen"),
            QStringLiteral("Lock")};
}

} // namespace

// Receives the service's signal; a QObject because Qt delivers D-Bus signals to slots.
class KGlobalAccelReceiver : public QObject {
    Q_OBJECT
public:
    explicit KGlobalAccelReceiver(KGlobalAccelHotKeyBackend& backend) : backend_(backend) {}

public Q_SLOTS:
    void globalShortcutPressed(const QString& component, const QString& action, qlonglong) {
        if (component == QLatin1String(KGlobalAccelHotKeyBackend::componentName) &&
            action == QLatin1String(KGlobalAccelHotKeyBackend::actionName) && backend_.pressed)
            backend_.pressed();
    }

private:
    KGlobalAccelHotKeyBackend& backend_;
};

KGlobalAccelHotKeyBackend::KGlobalAccelHotKeyBackend(QDBusConnection bus)
    : bus_(std::move(bus)), receiver_(std::make_unique<KGlobalAccelReceiver>(*this)) {}

KGlobalAccelHotKeyBackend::~KGlobalAccelHotKeyBackend() {
    unregisterHotKey();
}

bool KGlobalAccelHotKeyBackend::isAvailable(QDBusConnection bus) {
    return bus.isConnected() && bus.interface() && bus.interface()->isServiceRegistered(service).value();
}

std::int32_t KGlobalAccelHotKeyBackend::registerHotKey(const HotKey& hotKey) {
    unregisterHotKey();
    const QKeySequence sequence = StatusMenuController::keySequence(hotKey);
    if (sequence.isEmpty())
        return 2; // as X11's BadValue: no such key
    const int key = sequence[0].toCombined();

    auto reply = dbus::call(bus_, service, path, interface, QStringLiteral("doRegister"), {actionId()});
    if (reply.type() == QDBusMessage::ErrorMessage) {
        Log::input.error("kglobalaccel: cannot register the shortcut: " + reply.errorMessage().toStdString());
        return dbus::statusOf(reply);
    }
    registered_ = true;
    reply = dbus::call(bus_, service, path, interface, QStringLiteral("setShortcut"),
                       {actionId(), QVariant::fromValue(QList<int>{key}), setPresent | noAutoloading});
    if (reply.type() == QDBusMessage::ErrorMessage || reply.arguments().isEmpty()) {
        Log::input.error("kglobalaccel: cannot set the shortcut: " + reply.errorMessage().toStdString());
        const std::int32_t status = dbus::statusOf(reply);
        unregisterHotKey();
        return status;
    }
    // The service leaves out a key another action has.
    const auto set = qdbus_cast<QList<int>>(reply.arguments().first());
    if (!set.contains(key)) {
        Log::input.info("kglobalaccel: " + sequence.toString().toStdString() + " belongs to another action");
        unregisterHotKey();
        return HotKeyRefusal::takenStatus;
    }
    reply = dbus::call(bus_, service, path, interface, QStringLiteral("getComponent"),
                       {QString::fromLatin1(componentName)});
    if (reply.type() == QDBusMessage::ErrorMessage || reply.arguments().isEmpty()) {
        const std::int32_t status = dbus::statusOf(reply);
        unregisterHotKey();
        return status;
    }
    listen(qdbus_cast<QDBusObjectPath>(reply.arguments().first()).path());
    Log::input.info("kglobalaccel: the shortcut is " + sequence.toString().toStdString());
    return 0;
}

void KGlobalAccelHotKeyBackend::unregisterHotKey() {
    stopListening();
    if (!registered_)
        return;
    registered_ = false;
    // Removed, not only emptied: the desktop's shortcut settings list no action that does nothing.
    dbus::call(bus_, service, path, interface, QStringLiteral("unregister"),
               {QString::fromLatin1(componentName), QString::fromLatin1(actionName)});
}

void KGlobalAccelHotKeyBackend::listen(const QString& componentPath) {
    componentPath_ = componentPath;
    bus_.connect(service, componentPath_, componentInterface, QStringLiteral("globalShortcutPressed"),
                 receiver_.get(), SLOT(globalShortcutPressed(QString, QString, qlonglong)));
}

void KGlobalAccelHotKeyBackend::stopListening() {
    if (componentPath_.isEmpty())
        return;
    bus_.disconnect(service, componentPath_, componentInterface, QStringLiteral("globalShortcutPressed"),
                    receiver_.get(), SLOT(globalShortcutPressed(QString, QString, qlonglong)));
    componentPath_.clear();
}

} // namespace tolva

#include "KGlobalAccelHotKeyBackend.moc"
