// The program's side of the guard process (tolva-screen-guard): started with the program, told
// whether the overlay is on, and handing the lock back after the guard has covered for a
// program that died. A program started by the guard finds the guard's socket in
// TOLVA_GUARD_FD and keeps talking to that guard instead of starting another.
#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QSocketNotifier;

namespace tolva {

class LockGuard {
public:
    // Adopts the guard that started this program, else starts one (`guardBinary`, watching
    // `programBinary`); nothing when neither works (logged).
    static std::unique_ptr<LockGuard> start(const QString& guardBinary, const QString& programBinary);
    ~LockGuard();

    // Whether this program was started by a guard that covers for it now.
    bool adopted() const { return adopted_; }
    void setLocked(bool locked);
    // A clean quit: the guard ends with the program.
    void quit();

    // The guard let go of the keyboard and the pointer: take them now.
    std::function<void()> onReleased;

private:
    LockGuard(int socket, bool adopted, QString guardBinary, QString programBinary);
    static std::optional<int> spawn(const QString& guardBinary, const QString& programBinary);
    void readable();
    void send(const char* line);

    int socket_;
    bool adopted_;
    QString guardBinary_, programBinary_;
    std::optional<bool> told_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::string buffer_;
    int respawns_ = 0;
};

} // namespace tolva
