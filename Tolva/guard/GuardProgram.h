// What both guards (the X11 one and the Wayland one) do with the program they watch: start it
// again after a death while locked, and how long to wait when it keeps ending.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace tolva::guard {

struct Started {
    int socket; // the guard's end of the program's socket
    pid_t pid;
};

// Starts `program` (argv, the binary first) with the socket's other end in TOLVA_GUARD_FD and
// TOLVA_GUARD_LOCKED=1, so that it adopts this guard and comes back locked whatever it finds of
// its saved state. Nothing when no socket or process could be made (logged).
std::optional<Started> startProgram(std::vector<std::string> program);

// The wait before the next start: none after the first death, then growing to 30 s for a
// program that keeps ending. `restarts` counts the starts since the program last held the lock.
std::chrono::milliseconds restartDelay(int restarts);

// Reads what waits on the program's socket and hands every whole line to `line` (a line longer
// than 4 KiB is dropped). False once the program is gone.
bool readLines(int socket, std::string& buffer, const std::function<void(const std::string&)>& line);

} // namespace tolva::guard
