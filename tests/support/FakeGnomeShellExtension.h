// A stand-in for Tolva Screen's GNOME Shell extension on a private bus, for the program's side:
// it keeps what the program sent (content, the picture and the panel read from their memfds) and
// answers on a thread of its own, since the program's calls block the caller's thread.
#pragma once

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QDBusVirtualObject>

#include <mutex>
#include <vector>

#include <sys/mman.h>
#include <sys/stat.h>

namespace tolva::test {

struct MonitorEntry {
    int x = 0, y = 0, width = 0, height = 0;
    bool primary = false;
};

inline QDBusArgument& operator<<(QDBusArgument& argument, const MonitorEntry& m) {
    argument.beginStructure();
    argument << m.x << m.y << m.width << m.height << m.primary;
    argument.endStructure();
    return argument;
}

inline const QDBusArgument& operator>>(const QDBusArgument& argument, MonitorEntry& m) {
    argument.beginStructure();
    argument >> m.x >> m.y >> m.width >> m.height >> m.primary;
    argument.endStructure();
    return argument;
}

} // namespace tolva::test

Q_DECLARE_METATYPE(tolva::test::MonitorEntry)

namespace tolva::test {

// The bytes behind a descriptor, read as the extension reads them: mapped, whatever its offset.
inline QByteArray contentsOf(const QDBusUnixFileDescriptor& fd) {
    struct stat info {};
    if (::fstat(fd.fileDescriptor(), &info) != 0 || info.st_size == 0)
        return {};
    void* data = ::mmap(nullptr, std::size_t(info.st_size), PROT_READ, MAP_PRIVATE, fd.fileDescriptor(), 0);
    if (data == MAP_FAILED)
        return {};
    QByteArray bytes(static_cast<const char*>(data), int(info.st_size));
    ::munmap(data, std::size_t(info.st_size));
    return bytes;
}

// The extension's interface as far as the program uses it; refuses everything when `refuse`.
// It answers on a thread of its own, since the program's calls block the test's thread.
class FakeExtension : public QDBusVirtualObject {
public:
    // Registers the types the Monitors property needs; once per process is enough.
    static void registerTypes() {
        qDBusRegisterMetaType<MonitorEntry>();
        qDBusRegisterMetaType<QList<MonitorEntry>>();
    }

    struct State {
        bool refuse = false;
        bool covered = false;
        int covers = 0;
        QVariantMap content;
        QByteArray picture;
        QByteArray panel;
        QList<QVariant> panelPlace; // x, y, width, height, stride
        std::uint32_t version = 1;
        std::vector<QList<int>> shifts; // every ShiftPictures' offsets
        QVariantMap gradientLayout;     // of the last ShowGradients
        QByteArray gradients;
        int gradientCalls = 0;
    };
    State state() const {
        std::lock_guard lock(mutex_);
        return state_;
    }
    void setVersion(std::uint32_t version) {
        std::lock_guard lock(mutex_);
        state_.version = version;
    }
    void setRefuse(bool refuse) {
        std::lock_guard lock(mutex_);
        state_.refuse = refuse;
    }

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        std::lock_guard lock(mutex_);
        auto& [refuse, covered, covers, content, picture, panel, panelPlace, version, shifts, gradientLayout,
               gradients, gradientCalls] = state_;
        const QString member = message.member();
        if (message.interface() == "org.freedesktop.DBus.Properties" && member == "Get") {
            const QString name = message.arguments().value(1).toString();
            QVariant value;
            if (name == "Version")
                value = QVariant::fromValue(uint(version));
            else if (name == "Covered")
                value = covered;
            else if (name == "Monitors")
                value = QVariant::fromValue(
                    QList<MonitorEntry>{{0, 0, 1280, 720, false}, {1280, 0, 800, 600, true}});
            return connection.send(message.createReply(QVariant::fromValue(QDBusVariant(value))));
        }
        if (message.interface() != "org.tolva.Screen.Shell")
            return false;
        if (refuse)
            return connection.send(
                message.createErrorReply("org.freedesktop.DBus.Error.AccessDenied", "not the owner"));
        const auto arguments = message.arguments();
        if (member == "CoverWithPicture") {
            content = qdbus_cast<QVariantMap>(arguments.value(0));
            picture = contentsOf(arguments.value(1).value<QDBusUnixFileDescriptor>());
            covered = true;
            ++covers;
        } else if (member == "Cover") {
            content = qdbus_cast<QVariantMap>(arguments.value(0));
            covered = true;
        } else if (member == "ShowPanel") {
            panel = contentsOf(arguments.value(0).value<QDBusUnixFileDescriptor>());
            panelPlace = arguments.mid(1);
        } else if (member == "ShiftPictures") {
            shifts.push_back(qdbus_cast<QList<int>>(arguments.value(0)));
        } else if (member == "ShowGradients") {
            gradients = contentsOf(arguments.value(0).value<QDBusUnixFileDescriptor>());
            gradientLayout = qdbus_cast<QVariantMap>(arguments.value(1));
            ++gradientCalls;
        } else if (member == "Uncover") {
            covered = false;
        }
        return connection.send(message.createReply());
    }

private:
    mutable std::mutex mutex_;
    State state_;
};

} // namespace tolva::test
