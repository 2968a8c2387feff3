// The desktop's "reduce motion" wish, read from the freedesktop settings portal
// (org.gnome.desktop.interface enable-animations = false means reduce); off when absent.
#pragma once

#include <QDBusConnection>
#include <QDBusVariant>
#include <QObject>

#include <functional>

namespace tolva {

class ReduceMotionSetting : public QObject {
    Q_OBJECT

public:
    explicit ReduceMotionSetting(QDBusConnection sessionBus);
    bool reduceMotion();
    void watch();
    std::function<void(bool reduceMotion)> onChanged;

private slots:
    void settingChanged(const QString& group, const QString& key, const QDBusVariant& value);

private:
    QDBusConnection bus_;
};

} // namespace tolva
