// The overlay's background as the X server draws it. A child window fills each overlay window;
// its pixels come only from server-side pictures (the colour, the picture, the tint, the
// drifting gradient, the breathing dimness and the away note), so that mapping the overlay
// paints it with no round trip to us, and an effect frame is a few render requests instead of
// a screen-sized image drawn here and sent over.
#pragma once

#include "overlay/OverlaySurface.h"

#include <xcb/render.h>
#include <xcb/xcb.h>

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QSize>

#include <cstdint>
#include <memory>
#include <optional>

namespace tolva {

// The render formats of one connection's screen.
struct RenderFormats {
    xcb_render_pictformat_t rgb24 = 0;  // the default visual's
    xcb_render_pictformat_t argb32 = 0; // 32-bit with alpha
    xcb_render_pictformat_t a8 = 0;
    xcb_visualid_t argbVisual = 0;
    static const RenderFormats* of(xcb_connection_t* connection);
};

// A pixmap on the X server with a render picture on it; both are freed with it.
class ServerPicture : public SurfacePicture {
public:
    ServerPicture(xcb_connection_t* connection, QSize size, bool argb);
    ~ServerPicture() override;
    ServerPicture(const ServerPicture&) = delete;
    ServerPicture& operator=(const ServerPicture&) = delete;

    // `image` sent to the server once (RGB32, or ARGB32 premultiplied when `argb`).
    static std::shared_ptr<ServerPicture> fromImage(xcb_connection_t* connection, const QImage& image,
                                                    bool argb = false);
    // What the screen shows in `region` of the root window, copied inside the server.
    static std::shared_ptr<ServerPicture> fromScreen(xcb_connection_t* connection, const QRect& region);
    std::shared_ptr<SurfacePicture> scaled(QSize size) const override;
    // What the screen shows in `region` of the root window, copied into this picture (at its
    // size) inside the server.
    void copyScreen(const QRect& region);
    // Black all over: nothing of what it held stays.
    void wipe();
    // Reads the pixels back (tests and the panel's backdrop).
    QImage read(const QRect& region) const;

    xcb_pixmap_t pixmap() const { return pixmap_; }
    xcb_render_picture_t picture() const { return picture_; }
    QSize size() const override { return size_; }
    bool isArgb() const { return argb_; }

private:
    xcb_connection_t* connection_;
    xcb_pixmap_t pixmap_;
    xcb_render_picture_t picture_;
    QSize size_;
    bool argb_;
};

class X11OverlaySurface : public OverlaySurface {
public:
    // A child window filling `parent` (`size` in pixels), created on `connection`, mapped; it
    // shows nothing until a scene is set. `argb` for the 32-bit windows a compositor blends.
    X11OverlaySurface(xcb_connection_t* connection, xcb_window_t parent, QSize size, bool argb);
    ~X11OverlaySurface() override;
    X11OverlaySurface(const X11OverlaySurface&) = delete;
    X11OverlaySurface& operator=(const X11OverlaySurface&) = delete;

    xcb_window_t window() const { return window_; }
    QSize size() const override { return size_; }
    bool isArgb() const { return argb_; }

    // The scene becomes the window's background at state zero: the server paints it at once
    // whenever the window is mapped or exposed. Its pictures are this server's.
    void setScene(const Scene& scene) override;
    void setNote(const QImage& note, QPoint at) override;
    void show(const State& state) override;
    void redraw() override;
    QImage grab(const QRect& region) override;
    void setHole(const std::optional<QRect>& hole) override;
    // Only the window itself stays, unmapped.
    void clear() override;

    // Where no compositing manager runs, a window without a background shows, once mapped,
    // what the screen showed there, pixel for pixel: the frozen screen is up with no copy of it
    // made first. Until endScreenBeneath() the window keeps those pixels and draws nothing of
    // its own, while its owner copies them into the scene's picture.
    void showScreenBeneath();
    // Lays `tint` over the screen the window shows, on the window itself.
    void tintScreenBeneath(const QColor& tint);
    // The scene's picture holds what the window showed: it becomes the background, and from
    // then on the surface draws as usual.
    void endScreenBeneath();
    bool hasScene() const override { return hasScene_; }
    const State& state() const override { return state_; }

private:
    void renderBase();
    void useAsBackground(const ServerPicture& picture);
    void renderGradient();
    // The frame in `size` at `origin` drawn into `target`, step by step (offscreen only).
    void renderFrame(xcb_drawable_t drawable, xcb_render_picture_t target, QPoint origin, QSize size);
    // The frame drawn into the window, so that it never shows a part of one without the note.
    void present();
    void drawOutsideNote(xcb_render_picture_t target);
    QColor dimmedFill() const;
    xcb_gcontext_t gc();
    xcb_render_picture_t solid(const QColor& premultiplied);

    xcb_connection_t* connection_;
    xcb_window_t window_;
    QSize size_;
    bool argb_;
    xcb_render_pictformat_t format_;
    xcb_render_picture_t windowPicture_ = 0;
    Scene scene_;
    // The scene's pictures, as this server's.
    std::shared_ptr<ServerPicture> picture_;
    std::shared_ptr<ServerPicture> pictureAtRest_;
    bool hasScene_ = false;
    bool screenBeneath_ = false;
    State state_;
    State baseState_;
    // The scene at the current offset and drift, without dimness or note: the window's
    // background. Absent for a plain colour, whose background is the colour itself.
    std::shared_ptr<ServerPicture> base_; // may be the scene's picture itself
    xcb_pixmap_t background_ = 0;
    // The drifting gradient at `gradientProgress_`.
    std::unique_ptr<ServerPicture> gradient_;
    double gradientProgress_ = -1;
    xcb_gcontext_t gc_ = 0;
    std::shared_ptr<ServerPicture> note_;
    QPoint noteAt_;
    QRect noteRect_; // the note's area inside the surface
    // The note's area of each frame, composed before it is copied into the window in one piece.
    std::unique_ptr<ServerPicture> noteFrame_;
    // The window's picture clipped to everything but the note's area.
    xcb_render_picture_t outsideNote_ = 0;
    // A translucent frame dimmed, made before it is written to the window.
    std::unique_ptr<ServerPicture> back_;
    std::optional<QRect> hole_;
};

} // namespace tolva
