// The program's side of Tolva Screen's GNOME Shell extension: GNOME lets no program cover the
// screen, so the extension's actor inside the Shell does, on our request over the session bus
// (org.tolva.Screen.Shell). It answers only the owner of org.tolva.Screen, which this program is.
// Pictures and the panel's bitmap travel as memfds; keys and pointer events come back as signals
// addressed to this program alone.
#pragma once

#include "platform/EventTap.h"

#include <QDBusConnection>
#include <QImage>
#include <QObject>
#include <QPointF>
#include <QRect>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tolva {

class GnomeShellCover : public QObject {
    Q_OBJECT
public:
    static constexpr const char* extensionUuid = "tolva-screen@tolva.org";
    static constexpr const char* service = "org.tolva.Screen.Shell";
    static constexpr const char* path = "/org/tolva/Screen/Shell";
    static constexpr const char* interface = "org.tolva.Screen.Shell";

    struct Monitor {
        QRect geometry; // logical pixels of the Shell's stage
        bool primary = false;
        friend bool operator==(const Monitor&, const Monitor&) = default;
    };

    // Effects the Shell draws by itself, so that nothing crosses the bus per frame. An extension
    // older than version 2 ignores them, and draws the cover standing still.
    struct Motion {
        double breathingDepth = 0;  // the deepest opacity of the black over the cover; 0 for none
        double breathingPeriod = 0; // seconds of one full breath, there and back
        friend bool operator==(const Motion&, const Motion&) = default;
    };

    // From version 3 the cover's picture may be a sheet of parts instead of the stage: each
    // monitor's picture (larger than the monitor by the pixel shift's margin, clipped to it), which
    // the Shell moves on shiftPictures(), and the away notes, which stay where they are. Older
    // extensions know nothing of it: the program sends them the stage.
    static constexpr std::uint32_t movingVersion = 3;
    // A part of the sheet, and where its top-left corner shows on the stage when at rest.
    struct Part {
        QRect source;
        QPoint at;
        friend bool operator==(const Part&, const Part&) = default;
    };
    struct Tile {
        QRect monitor; // what the tile covers on the stage; the part may reach beyond, clipped
        Part picture;
        friend bool operator==(const Tile&, const Tile&) = default;
    };
    struct Sheet {
        std::vector<Tile> tiles; // in the order of monitors()
        std::vector<Part> notes; // above the tiles and their gradients
        friend bool operator==(const Sheet&, const Sheet&) = default;
    };

    explicit GnomeShellCover(QDBusConnection bus);
    ~GnomeShellCover() override;

    // Whether GNOME Shell runs on `bus` (with or without the extension).
    static bool isShellRunning(QDBusConnection bus);
    // Whether the extension answers on the bus (it is installed, enabled, and the Shell runs it).
    bool isAvailable() const;
    std::optional<std::uint32_t> version() const;
    // Whether the Shell shows a cover now, also one a program before this one asked for.
    bool isCovered() const;
    std::vector<Monitor> monitors() const;

    // Covers every monitor with `picture` (ARGB32 premultiplied, the stage's size, monitors at
    // their stage positions) until uncover(); a second call replaces the picture. `opacity` is
    // the whole cover's. Empty `error` on success.
    bool cover(const QImage& picture, double opacity, std::string* error = nullptr);
    // The same, with the effects the Shell draws over the picture (beneath the panel).
    bool cover(const QImage& picture, double opacity, const Motion& motion, std::string* error = nullptr);
    // The same from a sheet of parts (version 3 on): the Shell shows nothing of the desktop where
    // the tiles leave a monitor bare, but the cover's own black.
    bool cover(const QImage& sheet, const Sheet& layout, double opacity, const Motion& motion,
               std::string* error = nullptr);
    // Moves each tile's picture by its offset from where it rests (one per tile, y down), within
    // the tile's margin. Asynchronous, as the panel.
    void shiftPictures(const std::vector<QPoint>& offsets);
    // Lays part i of `sheet` stretched over tile i's monitor, between the tile's picture and the
    // notes (the drift's gradient, drawn small: a linear gradient stretched stays one); an empty
    // list of parts takes them away. Asynchronous.
    void showGradients(const QImage& sheet, const std::vector<QRect>& parts);
    // Covers with one colour (#rrggbb) at `opacity`, blended over the live screen when below 1.
    bool coverWithColour(const QColor& colour, double opacity, std::string* error = nullptr);
    // Shows `panel` with its top-left corner at `at` (stage pixels) above the cover; replaces
    // the previous one. Asynchronous: the next key is not held up by the Shell.
    void showPanel(const QImage& panel, QPoint at);
    void hidePanel();
    bool uncover(std::string* error = nullptr);
    // Makes `accelerator` ("<Control><Super>l", as GNOME writes them; "" for none) the Shell's
    // lock shortcut, which asks this program to lock.
    bool setLockShortcut(const std::string& accelerator, std::string* error = nullptr);
    // What each monitor shows now, as the Shell draws it (the cover included).
    std::vector<std::pair<QRect, QImage>> snapshot(std::string* error = nullptr) const;

    // A key that reached the cover, in the program's terms.
    std::function<void(const KeyEvent&)> onKey;
    // `kind` is "motion", "press" or "release"; `at` in stage pixels.
    std::function<void(const std::string& kind, QPointF at, std::uint32_t button)> onPointer;
    std::function<void()> onMonitorsChanged;
    // The extension came or went on the bus (the Shell restarted, or it was switched off).
    std::function<void(bool available)> onAvailabilityChanged;

    // The KeyEvent of a key the Shell reports: `keycode` is evdev + 8 as X counts, `modifiers`
    // Clutter's modifier mask (X's bits, Super also as bit 26), `text` what the key types.
    static std::optional<KeyEvent> keyEvent(std::uint32_t keycode, std::uint32_t modifiers, bool pressed,
                                            const std::string& text);

private slots:
    void keyReceived(uint keysym, uint keycode, uint modifiers, bool pressed, const QString& text);
    void pointerReceived(const QString& kind, double x, double y, uint button);
    void monitorsChangedReceived();
    void ownerChanged(const QString& name, const QString& oldOwner, const QString& newOwner);

private:
    bool callWithPicture(const QString& method, const QVariantList& before, const QImage& image,
                         const QVariantList& after, std::string* error, bool wait);

    QDBusConnection bus_;
};

} // namespace tolva
