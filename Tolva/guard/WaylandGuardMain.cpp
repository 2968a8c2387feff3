// tolva-screen-guard-wayland: the guard of a Wayland session. While the program is locked it
// keeps a black cover of its own on every output (a clear one beneath a live tint, which shows the
// tint once the program died), made after the program's and so stacked beneath it (sway keeps
// the first overlay-layer surface on top), with the compositor's shortcuts
// inhibited. When the program dies, its surfaces vanish at the next frame and the guard's are
// already there: the screen goes straight from the overlay to the guard's cover, and the keys go
// to it. It then starts the program again, which takes the lock back; the guard makes a new cover
// beneath the program's and drops the old one once the new one shows.
//
// The program keeps its own keys on Wayland (its surfaces take the keyboard exclusively), so the
// guard only covers; it answers "elsewhere" when asked to hold the keyboard.
//
//   tolva-screen-guard-wayland --fd N PROGRAM [ARGUMENT...]
// The socket speaks the X11 guard's lines: "locked", "unlocked", "quit", "hold" and "let go" from
// the program; "elsewhere" and "released" to it.
#include "guard/GuardProgram.h"
#include "log/Log.h"
#include "platform/QtScheduler.h"
#include "platform/wayland/WaylandConnection.h"
#include "platform/wayland/WaylandOverlay.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tolva;

namespace {

// How often a locked program is woken, should another process have stopped it, and children
// that ended are reaped.
constexpr int wakeMilliseconds = 500;
// A new cover that has not shown on every output by then replaces the old one anyway.
constexpr int handOverLimitMilliseconds = 1000;
// After the compositor ended the cover's connection, connecting again after this long.
constexpr int reconnectMilliseconds = 1000;

class WaylandGuard {
public:
    WaylandGuard(int socket, std::vector<std::string> program) : socket_(socket), program_(std::move(program)) {
        child_ = ::getppid(); // the program that started us
        watchSocket();
        QObject::connect(&wake_, &QTimer::timeout, [this] { tick(); });
        wake_.start(wakeMilliseconds);
        restart_.setSingleShot(true);
        QObject::connect(&restart_, &QTimer::timeout, [this] { startProgram(); });
        handOverLimit_.setSingleShot(true);
        QObject::connect(&handOverLimit_, &QTimer::timeout, [this] {
            if (fresh_)
                finishHandOver();
        });
        reconnect_.setSingleShot(true);
        QObject::connect(&reconnect_, &QTimer::timeout, [this] { coverAgain(); });
    }

private:
    struct Cover {
        std::shared_ptr<WaylandConnection> connection;
        std::unique_ptr<WaylandOverlay> overlay;
        std::set<std::string> shown; // outputs whose first frame was shown
    };

    // MARK: the cover

    std::unique_ptr<Cover> makeCover() {
        auto connection = WaylandConnection::connect();
        if (!connection || !WaylandOverlay::isAvailable(*connection)) {
            Log::lock.error("guard: the compositor cannot be covered; the screen is not kept covered");
            return nullptr;
        }
        // A cover made later than the program's own lies beneath it on sway and other wlroots
        // compositors (they offer the input inhibitor); on KWin it lies above until the program,
        // told so, makes its own again on top. Elsewhere it might hide the unlock panel for good.
        if (!connection->inputInhibitManager() && !connection->stacksNewestLayerSurfaceOnTop()) {
            if (!warnedStacking_)
                Log::lock.error("guard: this compositor may stack the guard's cover above the lock; "
                                "the screen is not kept covered if the program dies");
            warnedStacking_ = true;
            return nullptr;
        }
        auto cover = std::make_unique<Cover>();
        cover->connection = connection;
        cover->overlay = std::make_unique<WaylandOverlay>(connection, scheduler_);
        // The input inhibitor is never the guard's: the compositor ends the connection of a client
        // that asks for it before the compositor has seen the dead program's go, which would take
        // the cover with it. Exclusive keyboard and the shortcuts inhibitor hold the keys.
        cover->overlay->setInhibitsInput(false);
        cover->overlay->setLogPrefix("guard: ");
        // Beneath a live program the keyboard is the program's; the guard takes it when it dies.
        cover->overlay->setKeepsKeyboard(!programAlive());
        cover->overlay->onKey = [](const KeyEvent&) {}; // nobody's: swallowed
        Cover* raw = cover.get();
        cover->overlay->onCoverShown = [this, raw](const std::string& output, std::chrono::microseconds) {
            const bool before = raw->shown.size() >= raw->overlay->outputs().size();
            raw->shown.insert(output);
            if (before || raw->shown.size() < raw->overlay->outputs().size())
                return;
            if (fresh_.get() == raw)
                finishHandOver();
            else if (cover_.get() == raw && !coveringForDead_) {
                Log::lock.info("guard: covering beneath the lock");
                send("covering\n"); // where the compositor put ours on top, the program's goes above
            }
        };
        cover->overlay->onConnectionLost = [this, raw] {
            if (cover_.get() != raw && fresh_.get() != raw)
                return;
            Log::lock.error("guard: the compositor ended the cover's connection; covering again");
            reconnect_.start(reconnectMilliseconds);
        };
        if (!cover->overlay->cover(look()))
            return nullptr;
        return cover;
    }

    bool programAlive() const { return socket_ >= 0; }

    // Black beneath an opaque overlay. Beneath a live tint, nothing while the program lives (the
    // live screen shows through its tint), and the tint once it died.
    CoverContent look() const {
        if (!tint_)
            return CoverContent::solid(Qt::black);
        return CoverContent::tint(programAlive() ? QColor(0, 0, 0, 0) : *tint_);
    }

    void coverAgain() {
        if (!locked_)
            return;
        if (fresh_ && !fresh_->connection->isConnected())
            fresh_.reset();
        if (!cover_ || !cover_->connection->isConnected())
            cover_ = makeCover();
    }

    // The program is back with its own cover (made before this new one, so above it): the old
    // cover, above the program's since the program died, goes once the new one shows beneath.
    void handOver() {
        fresh_ = makeCover();
        if (!fresh_) {
            finishHandOver();
            return;
        }
        handOverLimit_.start(handOverLimitMilliseconds);
    }

    void finishHandOver() {
        handOverLimit_.stop();
        if (fresh_)
            cover_ = std::move(fresh_);
        else
            cover_.reset();
        coveringForDead_ = false;
        restarts_ = 0;
        Log::lock.info("guard: lock handed back to the program");
        send("released\n");
        if (cover_)
            send("covering\n");
    }

    // MARK: the program

    void watchSocket() {
        notifier_ = std::make_unique<QSocketNotifier>(socket_, QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { readSocket(); });
    }

    void send(const std::string& line) {
        if (socket_ >= 0) [[maybe_unused]]
            auto ignored = ::send(socket_, line.data(), line.size(), MSG_NOSIGNAL);
    }

    void readSocket() {
        if (!guard::readLines(socket_, buffer_, [this](const std::string& line) { message(line); }))
            programGone();
    }

    void message(const std::string& line) {
        if (line.rfind("tint ", 0) == 0) {
            const std::string value = line.substr(5);
            char* end = nullptr;
            const unsigned long argb = std::strtoul(value.c_str(), &end, 16);
            if (value == "none" || value.size() != 8 || *end != '\0')
                tint_.reset();
            else
                tint_ = QColor::fromRgba(static_cast<QRgb>(argb));
        } else if (line == "hold") {
            send("elsewhere\n"); // the program's own surfaces have the keyboard
        } else if (line == "locked") {
            locked_ = true;
            if (coveringForDead_ && cover_) // the program's cover has the keyboard and the top now
                cover_->overlay->setKeepsKeyboard(false);
            if (coveringForDead_ && !fresh_)
                handOver();
            else if (!cover_)
                cover_ = makeCover();
        } else if (line == "unlocked" || line == "quit") {
            locked_ = false;
            fresh_.reset();
            cover_.reset();
            if (coveringForDead_) {
                coveringForDead_ = false;
                Log::lock.error("guard: the program came back without the lock; screen uncovered");
                send("released\n");
            }
        }
    }

    void programGone() {
        notifier_.reset();
        ::close(socket_);
        socket_ = -1;
        child_ = -1;
        buffer_.clear();
        if (!locked_) {
            Log::lock.info("guard: program ended while unlocked; guard ends");
            QCoreApplication::exit(0);
            return;
        }
        fresh_.reset();
        coveringForDead_ = true;
        if (!cover_)
            cover_ = makeCover();
        if (cover_) {
            cover_->overlay->setKeepsKeyboard(true);
            cover_->overlay->cover(look());
        }
        Log::lock.error(std::string("guard: program ended while locked; screen covered=") +
                        (cover_ ? "true" : "false"));
        restart_.start(int(guard::restartDelay(restarts_).count()));
        ++restarts_;
    }

    void startProgram() {
        // The program takes the keyboard back as it covers: no fight over it.
        if (cover_)
            cover_->overlay->setKeepsKeyboard(false);
        auto started = guard::startProgram(program_);
        if (!started) {
            restart_.start(int(guard::restartDelay(restarts_++).count()));
            return;
        }
        socket_ = started->socket;
        child_ = started->pid;
        watchSocket();
    }

    // A locked program that another process stopped would leave the user typing into nothing:
    // it is woken (a signal our own user may always send).
    void tick() {
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        if (locked_ && child_ > 0)
            ::kill(child_, SIGCONT);
    }

    int socket_;
    pid_t child_ = -1;
    std::vector<std::string> program_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::string buffer_;
    QtScheduler scheduler_;
    std::unique_ptr<Cover> cover_, fresh_;
    std::optional<QColor> tint_; // the lock's live tint, if it shows one
    bool locked_ = false;
    bool coveringForDead_ = false;
    bool warnedStacking_ = false;
    int restarts_ = 0;
    QTimer wake_, restart_, handOverLimit_, reconnect_;
};

} // namespace

int main(int argc, char** argv) {
    int socket = -1;
    int i = 1;
    if (i + 1 < argc && std::strcmp(argv[i], "--fd") == 0) {
        socket = std::atoi(argv[i + 1]);
        i += 2;
    }
    std::vector<std::string> program(argv + i, argv + argc);
    if (socket < 0 || program.empty()) {
        std::fprintf(stderr, "usage: tolva-screen-guard-wayland --fd N PROGRAM [ARGUMENT...]\n");
        return 2;
    }
    ::fcntl(socket, F_SETFD, FD_CLOEXEC);
    // Its own session: a Ctrl+C meant for the program, or the program's group being killed, does
    // not end the guard; and it refuses the signals that would end it quietly.
    ::setsid();
    for (int number : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM})
        ::signal(number, SIG_IGN);
    QCoreApplication app(argc, argv);
    WaylandGuard guard(socket, std::move(program));
    return app.exec();
}
