// Diagnostic lines of the application: one subsystem, seven categories, three levels.
// Plain C++ (no Qt) so platform code and tests can use it anywhere.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tolva {

enum class LogLevel : std::uint8_t { info, error, debug };

std::string_view toString(LogLevel level);

struct LogEntry {
    std::string category;
    LogLevel level;
    std::string message;

    // "category level: message", the form written to standard error.
    std::string line() const;

    friend bool operator==(const LogEntry&, const LogEntry&) = default;
};

// Where lines go. Sinks that do input or output should say `asynchronous()` so the line is
// written on the log queue instead of the caller's thread.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(const LogEntry& entry) = 0;
    virtual bool asynchronous() const { return false; }
};

class Log {
public:
    static constexpr std::string_view subsystem = "org.tolva.Screen";

    class Category {
    public:
        constexpr explicit Category(std::string_view name) : name_(name) {}
        constexpr std::string_view name() const { return name_; }

        void info(std::string_view message) const;
        void error(std::string_view message) const;
        void debug(std::string_view message) const;
        bool isEnabled(LogLevel level) const;

    private:
        std::string_view name_;
    };

    static const Category lock;
    static const Category input;
    static const Category auth;
    static const Category idle;
    static const Category ui;
    static const Category perms;
    static const Category update;

    // Blocks until every line already handed to the log queue is written; returns at once
    // when nothing is pending.
    static void flush();

    // The sink in use: the systemd journal when its socket answers, else standard error.
    static std::shared_ptr<LogSink> sink();
    static void setSink(std::shared_ptr<LogSink> sink);
    static std::shared_ptr<LogSink> makeDefaultSink();

    // Debug lines are written only when TOLVA_LOG_DEBUG=1 (or after setDebugEnabled(true)).
    static bool debugEnabled();
    static void setDebugEnabled(bool enabled);

private:
    static void write(std::string_view category, LogLevel level, std::string_view message);
};

// Writes "category level: message" lines to standard error.
class StandardErrorLogSink : public LogSink {
public:
    void write(const LogEntry& entry) override;
    bool asynchronous() const override { return true; }
};

// Sends each line to the systemd journal with the subsystem, category and level as fields;
// falls back to standard error for a line the journal refuses.
class JournalLogSink : public LogSink {
public:
    static bool isReachable();
    void write(const LogEntry& entry) override;
    bool asynchronous() const override { return true; }
};

// Keeps lines in memory for tests, in the order they were written.
class CaptureLogSink : public LogSink {
public:
    void write(const LogEntry& entry) override;
    std::vector<LogEntry> entries() const;
    // The messages alone, optionally only those of one category.
    std::vector<std::string> messages(std::string_view category = {}) const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<LogEntry> entries_;
};

// Installs a capture sink for the life of the object and puts the previous sink back after.
class ScopedLogCapture {
public:
    ScopedLogCapture();
    ~ScopedLogCapture();
    ScopedLogCapture(const ScopedLogCapture&) = delete;
    ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

    CaptureLogSink& sink() { return *capture_; }
    std::vector<std::string> messages(std::string_view category = {}) const {
        return capture_->messages(category);
    }

private:
    std::shared_ptr<CaptureLogSink> capture_;
    std::shared_ptr<LogSink> previous_;
    bool previousDebug_;
};

} // namespace tolva
