// Whole-process cost of showing the overlay: builds the real overlay windows on the current
// X display in one mode, keeps them up for a while, and reports CPU time per second of lock
// (this program's and the X server's, which now does the drawing), wake-ups per second and
// peak memory.
//
//   tolva-bench-overlay MODE SECONDS
//   MODE: solid | snapshot-shift | breathing | breathing-strong | drift | all-subtle | all-strong
//   (append "-client" to draw in this program, as where the server cannot)
#include "ProcessCpu.h"
#include "platform/QtScheduler.h"
#include "platform/x11/X11DisplaySource.h"
#include "platform/x11/X11OverlayWindows.h"
#include "platform/x11/X11ScreenCapture.h"
#include "platform/x11/XConnection.h"

#include <QApplication>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

using namespace tolva;

using tolva::bench::cpuSeconds;

namespace {

struct Usage {
    double cpu;
    long wakeups;
    long maxRssKb;
};

Usage usage() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return {r.ru_utime.tv_sec + r.ru_utime.tv_usec / 1e6 + r.ru_stime.tv_sec + r.ru_stime.tv_usec / 1e6,
            r.ru_nvcsw + r.ru_nivcsw, r.ru_maxrss};
}

// The X server the overlay draws with: scripts/bench names the test session's.
pid_t xServer() {
    const char* pid = std::getenv("TOLVA_BENCH_XSERVER_PID");
    return pid ? static_cast<pid_t>(std::atoi(pid)) : 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s solid|snapshot-shift|breathing|drift|all-strong SECONDS\n", argv[0]);
        return 2;
    }
    std::string mode = argv[1];
    const bool inClient = mode.size() > 7 && mode.substr(mode.size() - 7) == "-client";
    if (inClient)
        mode.resize(mode.size() - 7);
    const double seconds = std::atof(argv[2]);
    QApplication app(argc, argv);
    auto x11 = XConnection::open();
    auto displays = std::make_shared<X11DisplaySource>(x11);
    QtScheduler scheduler;
    X11OverlayWindows manager(scheduler, displays, x11);
    if (inClient)
        manager.drawInClient();
    auto snapshot = [&](OverlayContent& content) {
        if (manager.drawsInServer())
            content.captureInServer = true;
        else
            content.snapshots = X11ScreenCapture().capture(displays->displays());
    };

    OverlayContent content;
    content.background = QColor(16, 18, 24);
    content.tuning = OverlayAnimationTuning::tuning(AnimationStrength::subtle);
    if (mode == "snapshot-shift") {
        snapshot(content);
        content.animations = {OverlayAnimation::pixelShift};
    } else if (mode == "breathing") {
        content.animations = {OverlayAnimation::breathing};
    } else if (mode == "drift") {
        content.animations = {OverlayAnimation::gradientDrift};
    } else if (mode == "breathing-strong") {
        content.animations = {OverlayAnimation::breathing};
        content.tuning = OverlayAnimationTuning::tuning(AnimationStrength::strong);
    } else if (mode == "all-subtle") {
        snapshot(content);
        content.animations = {OverlayAnimation::pixelShift, OverlayAnimation::breathing,
                              OverlayAnimation::gradientDrift};
    } else if (mode == "all-strong") {
        snapshot(content);
        content.animations = {OverlayAnimation::pixelShift, OverlayAnimation::breathing,
                              OverlayAnimation::gradientDrift};
        content.tuning = OverlayAnimationTuning::tuning(AnimationStrength::strong);
    } else if (mode != "solid") {
        std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
        return 2;
    }
    manager.build(content);
    // Let the first frames settle, then measure.
    Usage start{};
    const pid_t server = xServer();
    double serverStart = 0;
    QTimer::singleShot(1000, [&] {
        start = usage();
        serverStart = server ? cpuSeconds(server) : 0;
    });
    QTimer::singleShot(static_cast<int>(1000 + seconds * 1000), [&] {
        const Usage end = usage();
        const double program = 100.0 * (end.cpu - start.cpu) / seconds;
        const double xserver = server ? 100.0 * (cpuSeconds(server) - serverStart) / seconds : -1;
        std::printf("%-22s cpu %.3f%% + X server %.3f%% = %.3f%% of one core   wake-ups %.2f/s   peak memory "
                    "%.1f MiB\n",
                    (mode + (manager.drawsInServer() ? "" : " (client)")).c_str(), program, xserver,
                    program + xserver, (end.wakeups - start.wakeups) / seconds, end.maxRssKb / 1024.0);
        app.quit();
    });
    return app.exec();
}
