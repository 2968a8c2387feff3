// Calls to the Shell extension and its signals.
#include "platform/gnome/GnomeShellCover.h"

#include "log/Log.h"
#include "platform/KeyTranslation.h"
#include "platform/dbus/DBusCall.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>

#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace tolva {

namespace {

constexpr int coverTimeoutMs = 5000; // the Shell uploads a picture of every monitor

const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// A sealed memfd holding `image` as ARGB32 premultiplied (B, G, R, A in memory on little-endian
// machines); -1 when none can be made.
int memfdOf(const QImage& image) {
    const int fd = ::memfd_create("tolva-screen-picture", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        return -1;
    const auto size = static_cast<std::size_t>(image.sizeInBytes());
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        ::close(fd);
        return -1;
    }
    std::size_t written = 0;
    const auto* bytes = reinterpret_cast<const char*>(image.constBits());
    while (written < size) {
        const ssize_t n = ::pwrite(fd, bytes + written, size - written, static_cast<off_t>(written));
        if (n <= 0) {
            ::close(fd);
            return -1;
        }
        written += static_cast<std::size_t>(n);
    }
    // The Shell maps it: it must not change or shrink under it.
    ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
    return fd;
}

QVariantMap pictureFields(const QImage& image) {
    return {{QStringLiteral("width"), QVariant::fromValue(uint(image.width()))},
            {QStringLiteral("height"), QVariant::fromValue(uint(image.height()))},
            {QStringLiteral("stride"), QVariant::fromValue(uint(image.bytesPerLine()))}};
}

// Rectangles and points as flat lists of integers, which the extension reads in groups.
void append(QList<int>& list, const QRect& rect) {
    list << rect.x() << rect.y() << rect.width() << rect.height();
}

void append(QList<int>& list, const QPoint& point) {
    list << point.x() << point.y();
}

QVariant integers(const QList<int>& list) {
    return QVariant::fromValue(list);
}

bool succeeded(const QDBusMessage& reply, std::string* error) {
    if (reply.type() == QDBusMessage::ReplyMessage)
        return true;
    if (error)
        *error = (reply.errorName() + QStringLiteral(": ") + reply.errorMessage()).toStdString();
    return false;
}

} // namespace

GnomeShellCover::GnomeShellCover(QDBusConnection bus) : bus_(std::move(bus)) {
    qDBusRegisterMetaType<QList<int>>();
    bus_.connect(service, path, interface, QStringLiteral("Key"), this,
                 SLOT(keyReceived(uint, uint, uint, bool, QString)));
    bus_.connect(service, path, interface, QStringLiteral("Pointer"), this,
                 SLOT(pointerReceived(QString, double, double, uint)));
    bus_.connect(service, path, interface, QStringLiteral("MonitorsChanged"), this,
                 SLOT(monitorsChangedReceived()));
    bus_.connect(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                 QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameOwnerChanged"), {service},
                 QString(), this, SLOT(ownerChanged(QString, QString, QString)));
}

GnomeShellCover::~GnomeShellCover() = default;

bool GnomeShellCover::isShellRunning(QDBusConnection bus) {
    if (!bus.isConnected() || !bus.interface())
        return false;
    const auto reply = bus.interface()->isServiceRegistered(QStringLiteral("org.gnome.Shell"));
    return reply.isValid() && reply.value();
}

bool GnomeShellCover::isAvailable() const {
    return version().has_value();
}

std::optional<std::uint32_t> GnomeShellCover::version() const {
    auto bus = bus_;
    const QVariant value = dbus::property(bus, service, path, interface, QStringLiteral("Version"));
    if (!value.isValid())
        return std::nullopt;
    return value.toUInt();
}

bool GnomeShellCover::isCovered() const {
    auto bus = bus_;
    return dbus::property(bus, service, path, interface, QStringLiteral("Covered")).toBool();
}

std::vector<GnomeShellCover::Monitor> GnomeShellCover::monitors() const {
    auto bus = bus_;
    const QDBusMessage reply = dbus::call(bus, service, path, propertiesInterface, QStringLiteral("Get"),
                                          {interface, QStringLiteral("Monitors")});
    std::vector<Monitor> list;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return list;
    const QDBusArgument argument =
        reply.arguments().first().value<QDBusVariant>().variant().value<QDBusArgument>();
    argument.beginArray();
    while (!argument.atEnd()) {
        int x = 0, y = 0, width = 0, height = 0;
        bool primary = false;
        argument.beginStructure();
        argument >> x >> y >> width >> height >> primary;
        argument.endStructure();
        list.push_back({QRect(x, y, width, height), primary});
    }
    argument.endArray();
    return list;
}

bool GnomeShellCover::callWithPicture(const QString& method, const QVariantList& before, const QImage& image,
                                      const QVariantList& after, std::string* error, bool wait) {
    const QImage picture = image.format() == QImage::Format_ARGB32_Premultiplied
                               ? image
                               : image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const int fd = memfdOf(picture);
    if (fd < 0) {
        if (error)
            *error = std::string("cannot make a memfd: ") + std::strerror(errno);
        return false;
    }
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    QVariantList arguments = before;
    arguments << QVariant::fromValue(QDBusUnixFileDescriptor(fd)) << after;
    ::close(fd); // the descriptor above holds a copy
    message.setArguments(arguments);
    if (!wait) {
        bus_.asyncCall(message);
        return true;
    }
    return succeeded(bus_.call(message, QDBus::Block, coverTimeoutMs), error);
}

bool GnomeShellCover::cover(const QImage& picture, double opacity, std::string* error) {
    return cover(picture, opacity, Motion{}, error);
}

bool GnomeShellCover::cover(const QImage& picture, double opacity, const Motion& motion, std::string* error) {
    return cover(picture, Sheet{}, opacity, motion, error);
}

bool GnomeShellCover::cover(const QImage& picture, const Sheet& layout, double opacity, const Motion& motion,
                            std::string* error) {
    QVariantMap content = pictureFields(picture);
    if (!layout.tiles.empty()) {
        QList<int> tiles, notes;
        for (const auto& tile : layout.tiles) {
            append(tiles, tile.monitor);
            append(tiles, tile.picture.at);
            append(tiles, tile.picture.source);
        }
        for (const auto& note : layout.notes) {
            append(notes, note.at);
            append(notes, note.source);
        }
        content[QStringLiteral("tiles")] = integers(tiles);
        content[QStringLiteral("notes")] = integers(notes);
    }
    content[QStringLiteral("mode")] = QStringLiteral("picture");
    content[QStringLiteral("opacity")] = opacity;
    // Only when it breathes: a content without them stands still in every version.
    if (motion.breathingDepth > 0 && motion.breathingPeriod > 0) {
        content[QStringLiteral("breathingDepth")] = motion.breathingDepth;
        content[QStringLiteral("breathingPeriod")] = motion.breathingPeriod;
    }
    return callWithPicture(QStringLiteral("CoverWithPicture"), {content}, picture, {}, error, true);
}

void GnomeShellCover::shiftPictures(const std::vector<QPoint>& offsets) {
    QList<int> list;
    for (const auto& offset : offsets)
        append(list, offset);
    QDBusMessage message =
        QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("ShiftPictures"));
    message.setArguments({integers(list)});
    bus_.asyncCall(message);
}

void GnomeShellCover::showGradients(const QImage& sheet, const std::vector<QRect>& parts) {
    QList<int> list;
    for (const auto& part : parts)
        append(list, part);
    QVariantMap layout = pictureFields(sheet);
    layout[QStringLiteral("parts")] = integers(list);
    std::string error;
    if (!callWithPicture(QStringLiteral("ShowGradients"), {}, sheet, {layout}, &error, false))
        Log::lock.error("gnome shell: cannot show the gradient: " + error);
}

bool GnomeShellCover::coverWithColour(const QColor& colour, double opacity, std::string* error) {
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("Cover"));
    QVariantMap content{{QStringLiteral("mode"), QStringLiteral("color")},
                        {QStringLiteral("color"), colour.name(QColor::HexRgb)},
                        {QStringLiteral("opacity"), opacity}};
    message.setArguments({content});
    return succeeded(bus_.call(message, QDBus::Block, coverTimeoutMs), error);
}

void GnomeShellCover::showPanel(const QImage& panel, QPoint at) {
    const QImage bitmap = panel.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    std::string error;
    if (!callWithPicture(
            QStringLiteral("ShowPanel"), {}, bitmap,
            {at.x(), at.y(), uint(bitmap.width()), uint(bitmap.height()), uint(bitmap.bytesPerLine())},
            &error, false))
        Log::lock.error("gnome shell: cannot show the panel: " + error);
}

void GnomeShellCover::hidePanel() {
    bus_.asyncCall(QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("HidePanel")));
}

bool GnomeShellCover::uncover(std::string* error) {
    return succeeded(
        bus_.call(QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("Uncover")),
                  QDBus::Block, coverTimeoutMs),
        error);
}

bool GnomeShellCover::setLockShortcut(const std::string& accelerator, std::string* error) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("SetLockShortcut"));
    call.setArguments({QString::fromStdString(accelerator)});
    return succeeded(bus_.call(call, QDBus::Block, coverTimeoutMs), error);
}

std::vector<std::pair<QRect, QImage>> GnomeShellCover::snapshot(std::string* error) const {
    auto bus = bus_;
    const QDBusMessage reply =
        bus.call(QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("Snapshot")),
                 QDBus::Block, 10000);
    std::vector<std::pair<QRect, QImage>> shots;
    if (!succeeded(reply, error) || reply.arguments().isEmpty())
        return shots;
    const QDBusArgument argument = reply.arguments().first().value<QDBusArgument>();
    argument.beginArray();
    while (!argument.atEnd()) {
        int x = 0, y = 0, width = 0, height = 0;
        QByteArray png;
        argument.beginStructure();
        argument >> x >> y >> width >> height >> png;
        argument.endStructure();
        shots.emplace_back(QRect(x, y, width, height), QImage::fromData(png, "PNG"));
    }
    argument.endArray();
    return shots;
}

std::optional<KeyEvent> GnomeShellCover::keyEvent(std::uint32_t keycode, std::uint32_t modifiers,
                                                  bool pressed, const std::string& text) {
    constexpr std::uint32_t superMask = 1u << 26;
    KeyEvent event;
    event.keyCode =
        keycode <= 255 ? KeyTranslation::virtualKeyCode(std::uint8_t(keycode)).value_or(0xFFFF) : 0xFFFF;
    event.flags = KeyTranslation::eventFlags(std::uint16_t(modifiers & 0xFFFF));
    if (modifiers & superMask)
        event.flags |= KeyTranslation::commandFlag;
    if (keycode <= 255 && KeyTranslation::isModifierKey(std::uint8_t(keycode))) {
        // The Shell reports the modifiers as they were before this key: add or take away its own.
        std::uint64_t own = 0;
        switch (keycode) {
        case 50:
        case 62:
            own = KeyTranslation::shiftFlag;
            break;
        case 37:
        case 105:
            own = KeyTranslation::controlFlag;
            break;
        case 64:
        case 108:
            own = KeyTranslation::optionFlag;
            break;
        case 133:
        case 134:
            own = KeyTranslation::commandFlag;
            break;
        case 66:
            own = 0;
            break; // Caps Lock's state is in the next key's modifiers
        default:
            break;
        }
        event.type = KeyEvent::Type::flagsChanged;
        event.flags = pressed ? (event.flags | own) : (event.flags & ~own);
        return event;
    }
    event.type = pressed ? KeyEvent::Type::keyDown : KeyEvent::Type::keyUp;
    if (pressed)
        event.characters = text;
    return event;
}

void GnomeShellCover::keyReceived(uint, uint keycode, uint modifiers, bool pressed, const QString& text) {
    if (!onKey)
        return;
    if (auto event = keyEvent(keycode, modifiers, pressed, text.toStdString()))
        onKey(*event);
}

void GnomeShellCover::pointerReceived(const QString& kind, double x, double y, uint button) {
    if (onPointer)
        onPointer(kind.toStdString(), QPointF(x, y), button);
}

void GnomeShellCover::monitorsChangedReceived() {
    if (onMonitorsChanged)
        onMonitorsChanged();
}

void GnomeShellCover::ownerChanged(const QString&, const QString&, const QString& newOwner) {
    if (onAvailabilityChanged)
        onAvailabilityChanged(!newOwner.isEmpty());
}

} // namespace tolva
