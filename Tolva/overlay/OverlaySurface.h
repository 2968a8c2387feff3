// The overlay's background as a display server draws it, behind one overlay window. The view
// decides what shows (the scene) and how it moves (the state); the surface keeps its pictures
// on the server, so that an effect frame is a few requests rather than a screen-sized image.
#pragma once

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QSize>

#include <memory>
#include <optional>

namespace tolva {

// A picture the display server keeps (a snapshot of a display, the user's image).
class SurfacePicture {
public:
    virtual ~SurfacePicture() = default;
    virtual QSize size() const = 0;
    // This picture scaled to `size` by the server (bilinear).
    virtual std::shared_ptr<SurfacePicture> scaled(QSize size) const = 0;
};

class OverlaySurface {
public:
    // What lies under the effects: a picture placed at `pictureRect` (in the surface's pixels,
    // it may overhang every edge for the pixel shift), then `fill` over it (a tint; or, without
    // a picture, the colour itself, which may be translucent on a surface that is blended).
    struct Scene {
        QColor fill = Qt::black;
        std::shared_ptr<SurfacePicture> picture;
        QRect pictureRect;
        // The picture already cut to the surface at offset zero, when one was made in advance.
        std::shared_ptr<SurfacePicture> pictureAtRest;
        double gradientOpacity = 0; // the drifting gradient, when it runs
    };
    // What changes from frame to frame.
    struct State {
        QPoint offset;            // of the picture, in pixels
        double driftProgress = 0; // 0…1
        int dimStep = 0;          // dimness in 1/255
        friend bool operator==(const State&, const State&) = default;
    };

    virtual ~OverlaySurface() = default;

    virtual QSize size() const = 0;
    // Makes `scene` the surface's background at state zero.
    virtual void setScene(const Scene& scene) = 0;
    // The away note (premultiplied ARGB) drawn over everything at `at`; null for none.
    virtual void setNote(const QImage& note, QPoint at) = 0;
    // Draws the frame for `state` (only what changed is drawn again).
    virtual void show(const State& state) = 0;
    // Draws the current frame again (after an exposure).
    virtual void redraw() = 0;
    // The current frame in `region`, read back from the server.
    virtual QImage grab(const QRect& region) = 0;
    // Leaves `hole` uncovered, so the overlay window's own drawing shows there; none: cover all.
    virtual void setHole(const std::optional<QRect>& hole) = 0;
    // Lets go of every picture (at unlock).
    virtual void clear() = 0;
    virtual bool hasScene() const = 0;
    virtual const State& state() const = 0;
};

} // namespace tolva
