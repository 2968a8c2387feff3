// The desktop's "reduce motion" wish, from the freedesktop settings portal
// (org.gnome.desktop.interface enable-animations = false means reduce); off when absent.
// Read once without waiting and followed from then on, so that asking for it never talks to
// the bus: a lock uses the value known at that moment.
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>

#include <functional>

namespace tolva {

class ReduceMotionSetting : public QObject {
    Q_OBJECT

public:
    explicit ReduceMotionSetting(QDBusConnection sessionBus);
    // The value known now: off until the portal has answered, and where it never does.
    bool reduceMotion() const { return reduce_; }
    // Asks the portal without waiting for the answer (a portal the bus has to start first must
    // hold neither start-up nor a lock), and follows its change signal. onChanged hears every
    // change of the value, the first answer included when it turns reduce motion on.
    void follow();
    std::function<void(bool reduceMotion)> onChanged;

    // enable-animations as the portal sends it (nested in variants): false means reduce;
    // anything else, or nothing, means the effects may run.
    static bool reducesMotion(const QVariant& enableAnimations);

private slots:
    // The whole message: QtDBus does not hand a variant argument to a slot of a signal it matches.
    void settingChanged(const QDBusMessage& message);

private:
    void set(bool reduce);

    QDBusConnection bus_;
    bool reduce_ = false;
};

} // namespace tolva
