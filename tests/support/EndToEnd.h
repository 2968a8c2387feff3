// Helpers of the end-to-end tests: the real program as a child whose log lines are read as they
// come, keys typed with xdotool, and pixels of the screen compared from another X client.
#pragma once

#include "support/ChildProcess.h"

#include <QImage>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace tolva::test {

using namespace std::chrono_literals;

inline constexpr QRgb magenta = qRgb(255, 0, 255);

// Lines the program writes, read as they come.
class App {
public:
    explicit App(std::vector<std::string> arguments = {}) {
        std::vector<std::string> argv{TOLVA_BINARY};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        process_ = std::make_unique<ChildProcess>(argv, true);
    }
    // The program's guard and any program it started again go too, guard first (a program that
    // ends while locked would otherwise be started again). A program that saw its guard go starts
    // another before it ends itself: that one, and anything it started, go as well.
    ~App() {
        const auto killNamed = [this] {
            for (int pid : pidsFrom("lock info: guard started pid=(\\d+)"))
                ::kill(pid, SIGKILL);
            for (int pid : pidsFrom("lock info: guard: program started again pid=(\\d+)"))
                ::kill(pid, SIGKILL);
        };
        killNamed();
        process_->terminate();
        for (int round = 0; round < 3; ++round) {
            ::usleep(50000);
            killNamed();
        }
    }
    // Process ids named in the lines seen so far by the first group of `pattern`.
    std::vector<int> pidsFrom(const std::string& pattern) {
        saw(".*");
        std::vector<int> pids;
        const std::regex re(pattern);
        std::smatch match;
        for (const auto& line : seen)
            if (std::regex_match(line, match, re))
                pids.push_back(std::stoi(match[1]));
        return pids;
    }
    // Waits for a line that matches `pattern` (whole line); earlier lines are kept in `seen`.
    bool waitFor(const std::string& pattern, std::chrono::milliseconds timeout = 10s) {
        const std::regex re(pattern);
        for (auto& line : seen)
            if (std::regex_match(line, re))
                return true;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            auto line = process_->readLine(50ms, false);
            if (!line)
                continue;
            seen.push_back(*line);
            if (std::regex_match(*line, re))
                return true;
        }
        return false;
    }
    bool saw(const std::string& pattern) {
        for (auto& line : process_->drainLines())
            seen.push_back(line);
        const std::regex re(pattern);
        return std::any_of(seen.begin(), seen.end(), [&](auto& l) { return std::regex_match(l, re); });
    }
    // From here on, `sawSinceMark` looks only at lines that come after this call.
    void mark() {
        for (auto& line : process_->drainLines())
            seen.push_back(line);
        mark_ = seen.size();
    }
    bool sawSinceMark(const std::string& pattern) {
        for (auto& line : process_->drainLines())
            seen.push_back(line);
        const std::regex re(pattern);
        return std::any_of(seen.begin() + std::ptrdiff_t(std::min(mark_, seen.size())), seen.end(),
                           [&](auto& l) { return std::regex_match(l, re); });
    }
    std::string transcript() const {
        std::string all;
        for (auto& l : seen)
            all += l + "\n";
        return all;
    }
    ChildProcess& process() { return *process_; }
    std::vector<std::string> seen;

private:
    std::unique_ptr<ChildProcess> process_;
    std::size_t mark_ = 0;
};

inline double share(const QImage& image, QRgb rgb) {
    int total = 0, same = 0;
    for (int y = 0; y < image.height(); y += 5)
        for (int x = 0; x < image.width(); x += 5, ++total)
            same += (image.pixel(x, y) & 0xFFFFFF) == (rgb & 0xFFFFFF);
    return total ? double(same) / total : 0;
}

inline void type(const std::vector<std::string>& keys) {
    std::vector<std::string> argv{"xdotool", "key", "--delay", "30"};
    argv.insert(argv.end(), keys.begin(), keys.end());
    ASSERT_EQ(test::run(argv), 0);
}

} // namespace tolva::test
