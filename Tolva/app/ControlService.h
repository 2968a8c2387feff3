// The program's session-bus service: "org.tolva.Screen" at "/org/tolva/Screen" turns the overlay
// on now (Lock) or after a delay (LockIn), opens the window (ShowSettings) and tells whether the
// overlay is on (the read-only Locked property, announced with PropertiesChanged). Owning the
// name is also what makes a program the one running instance of its desktop session; a second
// start hands its command line to the owner through the same interface.
#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QStringList>

#include <cstdio>
#include <functional>
#include <optional>
#include <string>

namespace tolva {

class ControlService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.tolva.Screen")
    Q_PROPERTY(bool Locked READ locked)

public:
    static constexpr const char* serviceName = "org.tolva.Screen";
    static constexpr const char* objectPath = "/org/tolva/Screen";
    static constexpr const char* interfaceName = "org.tolva.Screen";
    // The error of a request the program refused; its message says why, in the interface language.
    static constexpr const char* refusedError = "org.tolva.Screen.Error.Refused";

    explicit ControlService(QDBusConnection bus);
    ~ControlService() override;

    enum class Claim { owned, taken, noBus };
    // Publishes the object, then asks for the name without queueing: `taken` when another
    // program of this session owns it.
    Claim claim();
    // The process that owns the name, when the bus knows it.
    std::optional<std::uint32_t> ownerPid() const;

    // Set by the owner. A lock answers why it was refused, or nothing when the overlay is on
    // (or turning on, or will turn on after the delay).
    std::function<std::optional<std::string>()> onLock;
    std::function<std::optional<std::string>(double seconds)> onLockIn;
    std::function<void()> onShowSettings;
    std::function<bool()> isLocked;

    bool locked() const { return isLocked && isLocked(); }
    // Announces Locked when it differs from what was last announced.
    void stateChanged();

public Q_SLOTS:
    Q_SCRIPTABLE void Lock();
    Q_SCRIPTABLE void LockIn(double seconds);
    Q_SCRIPTABLE void ShowSettings();

private:
    void answer(const std::optional<std::string>& refusal);

    QDBusConnection bus_;
    bool published_ = false;
    bool owned_ = false;
    bool announced_ = false;
};

// What the command line asks of the program: "--lock" (turn the overlay on now) or
// "--lock-in SECONDS"; the first of them counts.
struct LaunchCommand {
    enum class Kind { none, lock, lockIn };
    Kind kind = Kind::none;
    double seconds = 0;
    // "--lock-in" without a usable number of seconds.
    bool malformed = false;

    static LaunchCommand parse(const QStringList& arguments);
    bool operator==(const LaunchCommand&) const = default;
};

// Hands the command to the running instance over `bus` and says on `out` / `err` what
// happened. The exit status: 0 when it was done, 1 when the program refused or did not
// answer, 2 for a malformed command line.
int forwardToRunningInstance(QDBusConnection bus, const LaunchCommand& command, std::FILE* out,
                             std::FILE* err);

} // namespace tolva
