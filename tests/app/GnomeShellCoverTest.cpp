// GnomeShellCover against a stand-in of the Shell extension on a private bus: what it sends (the
// cover's picture and the panel's bitmap through memfds, their sizes, the colour) arrives intact,
// what the extension says (monitors, refusals, keys, pointer) comes back in the program's terms.
#include "platform/gnome/GnomeShellCover.h"
#include "platform/KeyTranslation.h"
#include "support/FakeGnomeShellExtension.h"
#include "support/PrivateBus.h"
#include "support/QtWidgetsApp.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QThread>

#include <gtest/gtest.h>

#include <mutex>

#include <sys/mman.h>
#include <sys/stat.h>

using namespace tolva;
using namespace tolva::test;
using namespace std::chrono_literals;

namespace {

struct GnomeShellCoverTest : ::testing::Test {
    void SetUp() override {
        widgetsApp();
        FakeExtension::registerTypes();
        thread.start();
        extension.moveToThread(&thread);
        extensionBus = std::make_unique<QDBusConnection>(bus.connect(QStringLiteral("extension")));
        ASSERT_TRUE(
            extensionBus->registerVirtualObject(QStringLiteral("/org/tolva/Screen/Shell"), &extension));
        ASSERT_TRUE(extensionBus->registerService(QStringLiteral("org.tolva.Screen.Shell")));
        programBus = std::make_unique<QDBusConnection>(bus.connect(QStringLiteral("program")));
        shell = std::make_unique<GnomeShellCover>(*programBus);
    }

    void emitToProgram(const QString& name, const QVariantList& arguments) {
        QDBusMessage signal = QDBusMessage::createTargetedSignal(
            programBus->baseService(), "/org/tolva/Screen/Shell", "org.tolva.Screen.Shell", name);
        signal.setArguments(arguments);
        ASSERT_TRUE(extensionBus->send(signal));
    }

    void TearDown() override {
        shell.reset();
        extensionBus->unregisterObject(QStringLiteral("/org/tolva/Screen/Shell"));
        thread.quit();
        thread.wait();
    }

    PrivateBus bus;
    QThread thread;
    FakeExtension extension;
    std::unique_ptr<QDBusConnection> extensionBus;
    std::unique_ptr<QDBusConnection> programBus;
    std::unique_ptr<GnomeShellCover> shell;
};

} // namespace

TEST(GnomeShellCover, KeysOfTheShellInTheProgramsTerms) {
    // "7" (evdev 8, X 16) with nothing held.
    auto seven = GnomeShellCover::keyEvent(16, 0, true, "7");
    ASSERT_TRUE(seven);
    EXPECT_EQ(seven->type, KeyEvent::Type::keyDown);
    EXPECT_EQ(seven->keyCode, std::int64_t(KeyTranslation::virtualKeyCode(16).value()));
    EXPECT_EQ(seven->flags, 0u);
    EXPECT_EQ(seven->characters, std::optional<std::string>("7"));
    auto released = GnomeShellCover::keyEvent(16, 0, false, "");
    EXPECT_EQ(released->type, KeyEvent::Type::keyUp);
    EXPECT_FALSE(released->characters);

    // Control (X's bit 2) and Super (Clutter's bit 26) held.
    auto chord = GnomeShellCover::keyEvent(38, 4 | (1u << 26), true, "");
    EXPECT_EQ(chord->flags, KeyTranslation::controlFlag | KeyTranslation::commandFlag);

    // A modifier key: its own flag as it goes down and up (the Shell reports the state before it).
    auto shiftDown = GnomeShellCover::keyEvent(50, 0, true, "");
    EXPECT_EQ(shiftDown->type, KeyEvent::Type::flagsChanged);
    EXPECT_EQ(shiftDown->flags, KeyTranslation::shiftFlag);
    auto shiftUp = GnomeShellCover::keyEvent(50, 1, false, "");
    EXPECT_EQ(shiftUp->type, KeyEvent::Type::flagsChanged);
    EXPECT_EQ(shiftUp->flags, 0u);
}

TEST_F(GnomeShellCoverTest, SendsThePictureAndThePanelThroughMemfds) {
    EXPECT_TRUE(shell->isAvailable());
    EXPECT_EQ(shell->version(), 1u);
    EXPECT_FALSE(shell->isCovered());
    const auto monitors = shell->monitors();
    ASSERT_EQ(monitors.size(), 2u);
    EXPECT_EQ(monitors[0], (GnomeShellCover::Monitor{QRect(0, 0, 1280, 720), false}));
    EXPECT_EQ(monitors[1], (GnomeShellCover::Monitor{QRect(1280, 0, 800, 600), true}));

    QImage picture(64, 32, QImage::Format_ARGB32_Premultiplied);
    picture.fill(QColor(255, 0, 255));
    picture.setPixelColor(3, 5, QColor(10, 20, 30));
    std::string error;
    ASSERT_TRUE(shell->cover(picture, 0.5, &error)) << error;
    EXPECT_TRUE(shell->isCovered());
    auto sent = extension.state();
    EXPECT_EQ(sent.content.value("width").toUInt(), 64u);
    EXPECT_EQ(sent.content.value("height").toUInt(), 32u);
    EXPECT_EQ(sent.content.value("stride").toUInt(), 64u * 4);
    EXPECT_EQ(sent.content.value("opacity").toDouble(), 0.5);
    ASSERT_EQ(sent.picture.size(), 64 * 32 * 4);
    const QImage arrived(reinterpret_cast<const uchar*>(sent.picture.constData()), 64, 32, 64 * 4,
                         QImage::Format_ARGB32_Premultiplied);
    EXPECT_EQ(arrived, picture);

    // The panel in another format is converted; it goes without waiting for an answer.
    QImage panel(10, 4, QImage::Format_RGB32);
    panel.fill(QColor(0, 200, 0));
    shell->showPanel(panel, QPoint(1300, 40));
    ASSERT_TRUE(waitUntil([&] { return !extension.state().panel.isEmpty(); }, 3000ms));
    sent = extension.state();
    EXPECT_EQ(sent.panelPlace, (QList<QVariant>{1300, 40, 10u, 4u, 40u}));
    const QImage shown(reinterpret_cast<const uchar*>(sent.panel.constData()), 10, 4, 40,
                       QImage::Format_ARGB32_Premultiplied);
    EXPECT_EQ(shown.pixelColor(9, 3), QColor(0, 200, 0));

    ASSERT_TRUE(shell->coverWithColour(QColor(1, 2, 3), 1.0, &error)) << error;
    EXPECT_EQ(extension.state().content.value("color").toString(), "#010203");
    ASSERT_TRUE(shell->uncover(&error)) << error;
    EXPECT_FALSE(shell->isCovered());
}

TEST_F(GnomeShellCoverTest, ARefusalComesBackWithItsReason) {
    extension.setRefuse(true);
    std::string error;
    EXPECT_FALSE(shell->cover(QImage(4, 4, QImage::Format_ARGB32_Premultiplied), 1.0, &error));
    EXPECT_EQ(error, "org.freedesktop.DBus.Error.AccessDenied: not the owner");
    EXPECT_FALSE(shell->uncover(&error));
}

TEST_F(GnomeShellCoverTest, KeysAndPointerComeBackAsTheProgramsEvents) {
    std::vector<KeyEvent> keys;
    std::vector<std::string> pointer;
    shell->onKey = [&](const KeyEvent& event) { keys.push_back(event); };
    shell->onPointer = [&](const std::string& kind, QPointF at, std::uint32_t button) {
        pointer.push_back(kind + " " + std::to_string(int(at.x())) + "," + std::to_string(int(at.y())) + " " +
                          std::to_string(button));
    };
    emitToProgram("Key", {uint(0x37), uint(16), uint(0), true, QStringLiteral("7")});
    emitToProgram("Pointer", {QStringLiteral("press"), 1300.0, 20.0, uint(1)});
    ASSERT_TRUE(waitUntil([&] { return !keys.empty() && !pointer.empty(); }, 3000ms));
    EXPECT_EQ(keys.front().characters, std::optional<std::string>("7"));
    EXPECT_EQ(keys.front().type, KeyEvent::Type::keyDown);
    EXPECT_EQ(pointer, std::vector<std::string>{"press 1300,20 1"});
}
