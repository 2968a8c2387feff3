// The program's side of the guard process (tolva-screen-guard): started with the program, told
// whether the overlay is on, and handing the lock back after the guard has covered for a
// program that died. A program started by the guard finds the guard's socket in
// TOLVA_GUARD_FD and keeps talking to that guard instead of starting another.
#pragma once

#include "platform/KeyboardHolder.h"

#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <sys/types.h>

class QSocketNotifier;

namespace tolva {

class LockGuard : public KeyboardHolder {
public:
    // How long hold() waits for the guard's answer before the program holds the keyboard itself.
    static constexpr int holdAnswerMilliseconds = 300;

    // Adopts the guard that started this program, else starts one (`guardBinary`, watching
    // `programBinary`); nothing when neither works (logged).
    static std::unique_ptr<LockGuard> start(const QString& guardBinary, const QString& programBinary);
    ~LockGuard() override;

    // Whether this program was started by a guard that covers for it now.
    bool adopted() const { return adopted_; }
    void setLocked(bool locked);
    // The lock's live tint (ARGB), if it shows one: a guard that covers beneath the overlay must
    // let the live screen through while the program lives, and shows the tint when it dies.
    void setCoverTint(std::optional<std::uint32_t> argb);
    // A clean quit: the guard ends with the program.
    void quit();

    Status hold() override;
    void letGo() override;

    // The guard let go of the keyboard and the pointer: take them now.
    std::function<void()> onReleased;
    // The guard's own cover beneath the lock is up (on Wayland): where the compositor put it on
    // top of ours, ours goes above it again.
    std::function<void()> onCovering;

private:
    LockGuard(int socket, pid_t pid, bool adopted, QString guardBinary, QString programBinary);
    struct Spawned {
        int socket;
        pid_t pid;
    };
    static std::optional<Spawned> spawn(const QString& guardBinary, const QString& programBinary);
    void watch();
    void readable();
    // Reads what the guard said; false when it is gone.
    bool receive();
    void line(const std::string& text);
    void ended();
    void respawn();
    void send(const char* line);

    int socket_;
    pid_t pid_;
    bool adopted_;
    QString guardBinary_, programBinary_;
    std::optional<bool> told_;
    std::optional<std::uint32_t> tint_;
    bool tintTold_ = false;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::string buffer_;
    int respawns_ = 0;
    QTimer respawnTimer_;
    // While locked, the guard is woken now and then, should another process have stopped it.
    QTimer wake_;
    bool holdAsked_ = false;
    std::optional<Status> answer_;
};

} // namespace tolva
