#include "TolvaCore/Preferences.h"
#include "log/Log.h"
#include "overlay/ImageStore.h"
#include "overlay/OverlayContentBuilder.h"
#include "platform/fake/FakeScheduler.h"
#include "support/ChildProcess.h"
#include "support/QtWidgetsApp.h"

#include <gtest/gtest.h>

#include <thread>

#include <set>

#include <condition_variable>
#include <fstream>
#include <sys/stat.h>

using namespace tolva;
namespace fs = std::filesystem;

namespace {

struct FixedDisplays : DisplaySource {
    std::vector<DisplayInfo> displays() override {
        return {{11, QRect(0, 0, 1920, 1080), nullptr, true},
                {12, QRect(1920, 0, 1920, 1080), nullptr, false}};
    }
};

// A capture that answers when the test lets it (or at once).
struct ScriptedCapture : ScreenCaptureBackend {
    std::mutex mutex;
    std::condition_variable released;
    bool hold = false;
    bool done = false;
    Snapshots result;
    Snapshots capture(const std::vector<DisplayInfo>&) override {
        std::unique_lock lock(mutex);
        released.wait(lock, [&] { return !hold; });
        done = true;
        return result;
    }
    void release() {
        {
            std::lock_guard lock(mutex);
            hold = false;
        }
        released.notify_all();
    }
};

struct Fixture {
    Fixture() { test::widgetsApp(); }
    FakeScheduler scheduler;
    std::shared_ptr<ScriptedCapture> capture = std::make_shared<ScriptedCapture>();
    bool permission = true;
    std::shared_ptr<ScreenSnapshotter> snapshotter = std::make_shared<ScreenSnapshotter>(
        scheduler, std::make_shared<FixedDisplays>(), capture, [this] { return permission; });
    bool reduceMotion = false;
    std::chrono::system_clock::time_point now = std::chrono::system_clock::from_time_t(1'700'000'000);
    OverlayContentBuilder builder{snapshotter, [this] { return reduceMotion; }, [this] { return now; }};
    std::shared_ptr<InMemoryDefaultsStore> store = std::make_shared<InMemoryDefaultsStore>();
    Preferences prefs{store};

    std::optional<OverlayContentBuilder::Result> make(bool showAwayNote = false,
                                                      std::optional<std::int64_t> keepAwake = std::nullopt) {
        std::optional<OverlayContentBuilder::Result> result;
        builder.make(prefs, showAwayNote, keepAwake,
                     [&](OverlayContentBuilder::Result r) { result = std::move(r); });
        test::waitUntil([&] { return result.has_value(); }, std::chrono::milliseconds(2000));
        return result;
    }

    std::string importedImage() {
        const fs::path source = fs::path(std::getenv("HOME")) / "picture.png";
        QImage image(32, 16, QImage::Format_RGB32);
        image.fill(Qt::red);
        image.save(QString::fromStdString(source.string()));
        auto name = ImageStore::importImage(source);
        prefs.setOverlayImageFileName(name);
        return name;
    }
};

QImage pixel(QColor color) {
    QImage image(4, 4, QImage::Format_RGB32);
    image.fill(color);
    return image;
}

// A small PNG that claims the given size in its header (its pixel data is a few bytes).
std::string pngClaiming(std::uint32_t width, std::uint32_t height) {
    auto be32 = [](std::uint32_t v) {
        return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    };
    auto chunk = [&](const std::string& typeAndData) {
        std::uint32_t crc = 0xFFFFFFFFu;
        for (unsigned char byte : typeAndData) {
            crc ^= byte;
            for (int k = 0; k < 8; ++k)
                crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
        return be32(std::uint32_t(typeAndData.size() - 4)) + typeAndData + be32(~crc);
    };
    return std::string("\x89PNG\r\n\x1a\n", 8) +
           chunk("IHDR" + be32(width) + be32(height) + std::string("\x08\x02\x00\x00\x00", 5)) +
           chunk("IDAT" + std::string("\x78\x9c\x63\x60\x40\x05\x00\x00\x10\x00\x01", 11)) + chunk("IEND");
}

} // namespace

TEST(OverlayContentBuilder, ModesWithoutCapture) {
    Fixture f;
    ::setenv("TZ", "UTC", 1);
    f.prefs.setOverlayColor(*SRGBColor::fromHex("#FF8000"));
    f.prefs.setLiveTintOpacity(0.2);
    auto tint = f.make();
    ASSERT_TRUE(tint);
    EXPECT_TRUE(tint->content.isTranslucent);
    EXPECT_EQ(tint->content.background, QColor(255, 128, 0));
    EXPECT_DOUBLE_EQ(tint->content.tintAlpha, 0.2);
    EXPECT_TRUE(tint->content.snapshots.empty());
    EXPECT_FALSE(f.capture->done) << "live tint never captures";

    f.prefs.setOverlayContentMode(OverlayContentMode::solidColor);
    f.prefs.setAnimations({OverlayAnimation::breathing});
    f.prefs.setAnimationStrength(AnimationStrength::medium);
    auto solid = f.make();
    EXPECT_FALSE(solid->content.isTranslucent);
    EXPECT_TRUE(solid->content.sharedImage.isNull());
    EXPECT_EQ(solid->content.animations, OverlayAnimationSet{OverlayAnimation::breathing});
    EXPECT_EQ(solid->content.tuning, OverlayAnimationTuning::tuning(AnimationStrength::medium));
    f.reduceMotion = true;
    EXPECT_TRUE(f.make()->content.animations.empty());
}

TEST(OverlayContentBuilder, AwayNoteAndReturnLine) {
    Fixture f;
    ::setenv("TZ", "UTC", 1);
    ::setenv("LC_ALL", "C.UTF-8", 1); // no 24-hour clock of the desktop's: English's own 12 hours
    f.prefs.setOverlayContentMode(OverlayContentMode::solidColor);
    auto off = f.make();
    EXPECT_EQ(off->content.awayNote, std::nullopt);
    EXPECT_EQ(off->content.awayNoteReturnLine, std::nullopt) << "no return line without a note";
    auto forced = f.make(true, 7200);
    EXPECT_EQ(forced->content.awayNote, "Back soon");
    // 1 700 000 000 is 22:13 UTC; two hours later, 00:13.
    EXPECT_EQ(forced->content.awayNoteReturnLine, "Back around 12:13\u202FAM");
    f.prefs.setAwayNoteEnabled(true);
    f.prefs.setAwayNoteText("At lunch");
    f.prefs.setAwayNoteShowsReturnTime(false);
    f.prefs.setAwayNoteStyle(AwayNoteStyle::stickyNote);
    auto note = f.make();
    EXPECT_EQ(note->content.awayNote, "At lunch");
    EXPECT_EQ(note->content.awayNoteStyle, AwayNoteStyle::stickyNote);
    EXPECT_EQ(note->content.awayNoteReturnLine, std::nullopt);
}

TEST(OverlayContentBuilder, ImageModeFallsBackToTheColour) {
    Fixture f;
    ScopedLogCapture log;
    f.prefs.setOverlayContentMode(OverlayContentMode::image);
    auto name = f.importedImage();
    auto withImage = f.make();
    EXPECT_EQ(withImage->content.sharedImage.size(), QSize(32, 16));
    fs::remove(ImageStore::directory() / name); // deleted behind the program's back
    auto missing = f.make();
    EXPECT_TRUE(missing->content.sharedImage.isNull());
    EXPECT_FALSE(missing->snapshotFellBack);
    EXPECT_EQ(log.messages("ui").back(), "overlay image missing, falling back to solid color");
}

TEST(OverlayContentBuilder, WhatTheServerAlreadyHoldsIsNeitherDecodedNorCaptured) {
    Fixture f;
    std::set<std::string> held;
    bool copies = true;
    OverlayContentBuilder builder{f.snapshotter, [] { return false; }, [&] { return f.now; },
                                  [&] { return copies; },
                                  [&](const std::string& identity) { return held.count(identity) > 0; }};
    // What is done at once (a load or capture that finishes later lands in a result of its own).
    auto make = [&] {
        auto result = std::make_shared<std::optional<OverlayContentBuilder::Result>>();
        builder.make(f.prefs, false, std::nullopt,
                     [result](OverlayContentBuilder::Result r) { *result = std::move(r); });
        return *result;
    };
    f.prefs.setOverlayContentMode(OverlayContentMode::image);
    const auto name = f.importedImage();
    const std::string identity = ImageStore::identity(name);
    ASSERT_FALSE(identity.empty());
    EXPECT_FALSE(make()) << "not held: read and decoded off the main thread";
    held.insert(identity);
    auto ready = make();
    ASSERT_TRUE(ready) << "held: done at once";
    EXPECT_EQ(ready->content.imageIdentity, identity);
    EXPECT_TRUE(ready->content.sharedImage.isNull());
    // The same name with other contents is another picture.
    QImage other(8, 8, QImage::Format_RGB32);
    other.fill(Qt::blue);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    other.save(QString::fromStdString((ImageStore::directory() / name).string()), "PNG");
    EXPECT_NE(ImageStore::identity(name), identity);
    EXPECT_FALSE(make());

    f.prefs.setOverlayContentMode(OverlayContentMode::snapshot);
    f.capture->hold = true; // a capture here would never finish
    auto copied = make();
    ASSERT_TRUE(copied) << "copied by the server as the windows go up";
    EXPECT_TRUE(copied->content.captureInServer);
    EXPECT_FALSE(copied->snapshotFellBack);
    f.permission = false;
    EXPECT_FALSE(make()) << "without permission the usual fallbacks decide";
    f.capture->release();
    test::pumpEvents(std::chrono::milliseconds(100));
}

TEST(OverlayContentBuilder, SnapshotModeAndItsFallbacks) {
    Fixture f;
    ScopedLogCapture log;
    f.prefs.setOverlayContentMode(OverlayContentMode::snapshot);
    f.capture->result = {{11, pixel(Qt::red)}, {12, pixel(Qt::blue)}};
    auto captured = f.make();
    ASSERT_TRUE(captured);
    EXPECT_FALSE(captured->snapshotFellBack);
    EXPECT_EQ(captured->content.snapshots.size(), 2u);
    EXPECT_TRUE(log.messages("lock").back().starts_with("snapshot captured displays=2 in "))
        << log.messages("lock").back();

    f.importedImage();
    f.permission = false;
    auto denied = f.make();
    EXPECT_TRUE(denied->snapshotFellBack);
    EXPECT_TRUE(denied->content.snapshots.empty());
    EXPECT_EQ(denied->content.sharedImage.size(), QSize(32, 16)) << "the imported image is the fallback";
    EXPECT_EQ(log.messages("lock").back(), "snapshot skipped: no screen recording permission");

    f.permission = true;
    f.capture->result = {};
    auto none = f.make();
    EXPECT_TRUE(none->snapshotFellBack);
    EXPECT_EQ(log.messages("lock").back().substr(0, 30), "snapshot captured displays=0 i");
}

TEST(OverlayContentBuilder, ACaptureSlowerThanTheTimeLimitIsDropped) {
    Fixture f;
    ScopedLogCapture log;
    f.prefs.setOverlayContentMode(OverlayContentMode::snapshot);
    f.capture->hold = true;
    f.capture->result = {{11, pixel(Qt::red)}};
    std::optional<OverlayContentBuilder::Result> result;
    f.builder.make(f.prefs, false, std::nullopt,
                   [&](OverlayContentBuilder::Result r) { result = std::move(r); });
    test::pumpEvents(std::chrono::milliseconds(20));
    EXPECT_FALSE(result) << "waits for the capture or the limit";
    f.scheduler.advance(Seconds(2));
    ASSERT_TRUE(test::waitUntil([&] { return result.has_value(); }));
    EXPECT_TRUE(result->snapshotFellBack);
    EXPECT_TRUE(result->content.snapshots.empty());
    EXPECT_EQ(log.messages("lock").back(), "snapshot failed or timed out after 2.000s");
    f.capture->release(); // the late capture finishes and changes nothing
    ASSERT_TRUE(test::waitUntil([&] { return f.capture->done; }));
    test::pumpEvents(std::chrono::milliseconds(20));
    EXPECT_TRUE(result->content.snapshots.empty());
    EXPECT_EQ(log.messages("lock").size(), 1u);
}

// The image named in the preferences is hostile data: it is read only where it is shown, off the
// main thread, from a regular file within the limits; anything else falls back to the colour
// with the reason in the log, and never holds up the lock.
TEST(OverlayContentBuilder, HostileImagesNeverBlockTheLock) {
    Fixture f;
    fs::create_directories(ImageStore::directory());
    const fs::path fifo = ImageStore::directory() / "overlay-FIFO.png";
    fs::remove(fifo);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    f.prefs.setOverlayImageFileName("overlay-FIFO.png");

    // Solid colour: the file is not even opened, and the content is there at once.
    {
        ScopedLogCapture log;
        f.prefs.setOverlayContentMode(OverlayContentMode::solidColor);
        std::optional<OverlayContentBuilder::Result> result;
        f.builder.make(f.prefs, false, std::nullopt, [&](auto r) { result = std::move(r); });
        ASSERT_TRUE(result) << "no image work in the solid-colour mode";
        EXPECT_TRUE(result->content.sharedImage.isNull());
        EXPECT_TRUE(log.messages("ui").empty());
    }

    const fs::path big = ImageStore::directory() / "overlay-BIG.png";
    {
        std::ofstream(big).put('x');
        fs::resize_file(big, ImageStore::maxFileSize + 1); // sparse: nothing is written
    }
    const fs::path huge = ImageStore::directory() / "overlay-HUGE.png";
    std::ofstream(huge, std::ios::binary) << pngClaiming(100000, 100000);
    const std::string other = (fs::path(std::getenv("HOME")) / "picture.png").string();
    QImage(8, 8, QImage::Format_RGB32).save(QString::fromStdString(other));

    struct Case {
        std::string name;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"overlay-FIFO.png", "not a regular file"},
        {"overlay-BIG.png", "larger than 67108864 bytes"},
        {"overlay-HUGE.png", "image is 100000x100000 pixels, more than 16384 a side or 67108864 in all"},
        {other, "not a file name of the image folder"},
        {"../picture.png", "not a file name of the image folder"},
        {"overlay-ABSENT.png", "No such file or directory"},
    };
    f.prefs.setOverlayContentMode(OverlayContentMode::image);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedLogCapture log;
        f.prefs.setOverlayImageFileName(c.name);
        std::optional<OverlayContentBuilder::Result> result;
        f.builder.make(f.prefs, false, std::nullopt, [&](auto r) { result = std::move(r); });
        EXPECT_FALSE(result) << "the file is read on a worker thread, not here";
        ASSERT_TRUE(test::waitUntil([&] { return result.has_value(); }, std::chrono::milliseconds(5000)));
        EXPECT_TRUE(result->content.sharedImage.isNull());
        EXPECT_EQ(log.messages("ui"),
                  (std::vector<std::string>{"overlay image " + c.name + " not loaded: " + c.reason,
                                            "overlay image missing, falling back to solid color"}));
    }

    // In the snapshot mode the image is the fallback: refused the same way, and the capture goes on.
    ScopedLogCapture log;
    f.prefs.setOverlayContentMode(OverlayContentMode::snapshot);
    f.prefs.setOverlayImageFileName("overlay-FIFO.png");
    f.capture->result = {{11, pixel(Qt::red)}};
    auto captured = f.make();
    ASSERT_TRUE(captured);
    EXPECT_EQ(captured->content.snapshots.size(), 1u);
    EXPECT_TRUE(captured->content.sharedImage.isNull());
    EXPECT_EQ(log.messages("ui"),
              std::vector<std::string>{"overlay image overlay-FIFO.png not loaded: not a regular file"});
    fs::remove(fifo);
    fs::remove(big);
    fs::remove(huge);
}

TEST(ImageStore, ImportNamesAndRemoval) {
    test::widgetsApp();
    ScopedLogCapture log;
    const fs::path home = std::getenv("HOME");
    std::ofstream(home / "noextension") << "x";
    std::ofstream(home / "Photo.JPEG") << "y";
    fs::remove_all(ImageStore::directory());
    const mode_t previous = ::umask(0);
    const auto plain = ImageStore::importImage(home / "noextension");
    ::umask(previous);
    struct stat st {};
    ASSERT_EQ(::stat(ImageStore::directory().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << "the image folder is private, whatever the umask";
    EXPECT_TRUE(plain.starts_with("overlay-"));
    EXPECT_TRUE(plain.ends_with(".img"));
    EXPECT_EQ(plain.size(), std::string("overlay-").size() + 36 + 4);
    EXPECT_EQ(QString::fromStdString(plain).toUpper().toStdString().substr(8, 36), plain.substr(8, 36));
    const auto upper = ImageStore::importImage(home / "Photo.JPEG");
    EXPECT_TRUE(upper.ends_with(".JPEG"));
    EXPECT_TRUE(fs::exists(ImageStore::directory() / upper));
    EXPECT_EQ(ImageStore::directory(), fs::path(std::getenv("XDG_DATA_HOME")) / "Tolva");
    EXPECT_EQ(log.messages("ui").back(), "imported overlay image " + upper);
    ImageStore::remove(upper);
    ImageStore::remove(upper);
    EXPECT_FALSE(fs::exists(ImageStore::directory() / upper));
    EXPECT_THROW(ImageStore::importImage(home / "missing.png"), fs::filesystem_error);
}
