// A helper program started by a test: its standard output is read line by line, and it is
// terminated (and reaped) when the object goes away, so nothing a test starts outlives it.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tolva::test {

class ChildProcess {
public:
    // `mergeStderr` sends the child's standard error into the same lines (its log, for the program).
    explicit ChildProcess(std::vector<std::string> argv, bool mergeStderr = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool isRunning();
    // The next line of output, waiting up to `timeout` (the Qt event loop keeps running meanwhile
    // when `pumpEvents`).
    std::optional<std::string> readLine(std::chrono::milliseconds timeout, bool pumpEvents = true);
    // Every line available now, without waiting.
    std::vector<std::string> drainLines();
    // Waits for a line that starts with `prefix`; lines before it are discarded.
    bool waitFor(const std::string& prefix, std::chrono::milliseconds timeout);
    void terminate();
    // Sends a signal without waiting; then `waitForExit` reaps the child.
    void signal(int number);
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);
    int pid() const { return pid_; }

private:
    bool fill(std::chrono::milliseconds wait);
    int pid_ = -1;
    int out_ = -1;
    std::optional<int> exitStatus_;
    std::string buffer_;
};

// Runs a command to completion (for xdotool and friends); its exit status.
int run(const std::vector<std::string>& argv);

// Keeps the Qt event loop turning until `done()` or the timeout; true when done.
template <class F>
bool waitUntil(F done, std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));
void pumpEvents(std::chrono::milliseconds duration);

} // namespace tolva::test

#include <QCoreApplication>
#include <QEventLoop>

template <class F> bool tolva::test::waitUntil(F done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents();
        struct timespec ts {
            0, 2'000'000
        };
        nanosleep(&ts, nullptr);
    }
    return true;
}
