// Log categories, level gating, the serial log queue and the standard sinks.
#include "log/Log.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-journal.h>
#include <thread>
#include <unistd.h>

namespace tolva {

const Log::Category Log::lock{"lock"};
const Log::Category Log::input{"input"};
const Log::Category Log::auth{"auth"};
const Log::Category Log::idle{"idle"};
const Log::Category Log::ui{"ui"};
const Log::Category Log::perms{"permissions"};
const Log::Category Log::update{"update"};

namespace {

// One worker thread that runs submitted tasks in order; started on first use.
class SerialQueue {
public:
    ~SerialQueue() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (worker_.joinable())
            worker_.join();
    }

    void submit(std::function<void()> task) {
        {
            std::lock_guard lock(mutex_);
            if (!worker_.joinable())
                worker_ = std::thread([this] { run(); });
            tasks_.push_back(std::move(task));
            ++pending_;
        }
        wake_.notify_one();
    }

    // Waits for everything submitted so far; nothing pending means no wait at all.
    void drain() {
        std::unique_lock lock(mutex_);
        if (pending_ == 0 || worker_.get_id() == std::this_thread::get_id())
            return;
        const std::uint64_t target = taken_ + tasks_.size();
        idle_.wait(lock, [&] { return finished_ >= target; });
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stopping_ || !tasks_.empty(); });
            if (tasks_.empty())
                return; // stopping with nothing left
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            ++taken_;
            lock.unlock();
            task();
            lock.lock();
            ++finished_;
            --pending_;
            idle_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::function<void()>> tasks_;
    std::thread worker_;
    std::uint64_t taken_ = 0; // tasks taken off the queue
    std::uint64_t finished_ = 0;
    std::uint64_t pending_ = 0;
    bool stopping_ = false;
};

SerialQueue& queue() {
    static SerialQueue instance;
    return instance;
}

std::mutex sinkMutex;
std::shared_ptr<LogSink>& currentSink() {
    static std::shared_ptr<LogSink> sink = Log::makeDefaultSink();
    return sink;
}

std::atomic<bool>& debugFlag() {
    static std::atomic<bool> flag = [] {
        const char* value = std::getenv("TOLVA_LOG_DEBUG");
        return value != nullptr && std::string_view(value) == "1";
    }();
    return flag;
}

int journalPriority(LogLevel level) {
    switch (level) {
    case LogLevel::error:
        return 3; // LOG_ERR
    case LogLevel::info:
        return 6; // LOG_INFO
    case LogLevel::debug:
        return 7; // LOG_DEBUG
    }
    return 6;
}

} // namespace

std::string_view toString(LogLevel level) {
    switch (level) {
    case LogLevel::info:
        return "info";
    case LogLevel::error:
        return "error";
    case LogLevel::debug:
        return "debug";
    }
    return "info";
}

std::string LogEntry::line() const {
    std::string out;
    out.reserve(category.size() + message.size() + 10);
    out.append(category).append(" ").append(toString(level)).append(": ").append(message);
    return out;
}

bool Log::Category::isEnabled(LogLevel level) const {
    return level != LogLevel::debug || Log::debugEnabled();
}

void Log::Category::info(std::string_view message) const {
    write(name_, LogLevel::info, message);
}
void Log::Category::error(std::string_view message) const {
    write(name_, LogLevel::error, message);
}
void Log::Category::debug(std::string_view message) const {
    if (isEnabled(LogLevel::debug))
        write(name_, LogLevel::debug, message);
}

void Log::write(std::string_view category, LogLevel level, std::string_view message) {
    std::shared_ptr<LogSink> target = sink();
    if (!target)
        return;
    LogEntry entry{std::string(category), level, std::string(message)};
    if (target->asynchronous())
        queue().submit([target, entry = std::move(entry)] { target->write(entry); });
    else
        target->write(entry);
}

void Log::flush() {
    queue().drain();
}

std::shared_ptr<LogSink> Log::sink() {
    std::lock_guard lock(sinkMutex);
    return currentSink();
}

void Log::setSink(std::shared_ptr<LogSink> sink) {
    std::lock_guard lock(sinkMutex);
    currentSink() = std::move(sink);
}

std::shared_ptr<LogSink> Log::makeDefaultSink() {
    // TOLVA_LOG_STDERR=1 keeps the lines on standard error even where a journal runs.
    const char* forced = std::getenv("TOLVA_LOG_STDERR");
    const bool stderrOnly = forced && std::string_view(forced) == "1";
    if (!stderrOnly && JournalLogSink::isReachable())
        return std::make_shared<JournalLogSink>();
    return std::make_shared<StandardErrorLogSink>();
}

bool Log::debugEnabled() {
    return debugFlag().load(std::memory_order_relaxed);
}

void Log::setDebugEnabled(bool enabled) {
    debugFlag().store(enabled, std::memory_order_relaxed);
}

void StandardErrorLogSink::write(const LogEntry& entry) {
    std::string line = entry.line();
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

bool JournalLogSink::isReachable() {
    // The journal is there when its datagram socket accepts a connection.
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    static constexpr char path[] = "/run/systemd/journal/socket";
    std::copy(std::begin(path), std::end(path), address.sun_path);
    bool reachable = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return reachable;
}

void JournalLogSink::write(const LogEntry& entry) {
    int result = sd_journal_send(
        "MESSAGE=%s", entry.message.c_str(), "PRIORITY=%d", journalPriority(entry.level),
        "SYSLOG_IDENTIFIER=tolva-screen", "TOLVA_SUBSYSTEM=%s", Log::subsystem.data(), "TOLVA_CATEGORY=%s",
        entry.category.c_str(), "TOLVA_LEVEL=%s", toString(entry.level).data(), nullptr);
    if (result < 0)
        StandardErrorLogSink().write(entry);
}

void CaptureLogSink::write(const LogEntry& entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(entry);
}

std::vector<LogEntry> CaptureLogSink::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

std::vector<std::string> CaptureLogSink::messages(std::string_view category) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (auto& entry : entries_)
        if (category.empty() || entry.category == category)
            out.push_back(entry.message);
    return out;
}

void CaptureLogSink::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

ScopedLogCapture::ScopedLogCapture()
    : capture_(std::make_shared<CaptureLogSink>()), previous_(Log::sink()),
      previousDebug_(Log::debugEnabled()) {
    Log::flush();
    Log::setSink(capture_);
}

ScopedLogCapture::~ScopedLogCapture() {
    Log::flush();
    Log::setSink(previous_);
    Log::setDebugEnabled(previousDebug_);
}

} // namespace tolva
