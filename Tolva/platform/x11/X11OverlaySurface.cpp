// Server-side pictures and the overlay's background window: render requests only.
#include "platform/x11/X11OverlaySurface.h"

#include "platform/x11/XConnection.h"

#include <xcb/shape.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>

namespace tolva {

namespace {

xcb_render_fixed_t fixed(double value) {
    return static_cast<xcb_render_fixed_t>(std::lround(value * 65536.0));
}

std::uint16_t channel(double value) {
    return static_cast<std::uint16_t>(std::lround(std::clamp(value, 0.0, 1.0) * 0xFFFF));
}

// Render colours are premultiplied.
xcb_render_color_t premultiplied(const QColor& c) {
    const double a = c.alphaF();
    return {channel(c.redF() * a), channel(c.greenF() * a), channel(c.blueF() * a), channel(a)};
}

xcb_screen_t* screenOf(xcb_connection_t* connection) {
    return xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
}

bool isDirect(const xcb_render_pictforminfo_t& f, std::uint8_t depth, std::uint16_t alphaMask,
              std::uint16_t redMask) {
    return f.type == XCB_RENDER_PICT_TYPE_DIRECT && f.depth == depth && f.direct.alpha_mask == alphaMask &&
           f.direct.red_mask == redMask;
}

} // namespace

const RenderFormats* RenderFormats::of(xcb_connection_t* connection) {
    static std::mutex mutex;
    static std::map<xcb_connection_t*, RenderFormats> known;
    std::lock_guard lock(mutex);
    if (auto it = known.find(connection); it != known.end())
        return &it->second;
    auto reply = xreply(
        xcb_render_query_pict_formats_reply(connection, xcb_render_query_pict_formats(connection), nullptr));
    if (!reply)
        return nullptr;
    RenderFormats formats;
    for (auto it = xcb_render_query_pict_formats_formats_iterator(reply.get()); it.rem;
         xcb_render_pictforminfo_next(&it)) {
        const auto& f = *it.data;
        if (isDirect(f, 32, 0xFF, 0xFF) && f.direct.alpha_shift == 24 && f.direct.red_shift == 16)
            formats.argb32 = f.id;
        else if (isDirect(f, 8, 0xFF, 0))
            formats.a8 = f.id;
    }
    const xcb_visualid_t rootVisual = screenOf(connection)->root_visual;
    for (auto s = xcb_render_query_pict_formats_screens_iterator(reply.get()); s.rem;
         xcb_render_pictscreen_next(&s))
        for (auto d = xcb_render_pictscreen_depths_iterator(s.data); d.rem; xcb_render_pictdepth_next(&d))
            for (auto v = xcb_render_pictdepth_visuals_iterator(d.data); v.rem;
                 xcb_render_pictvisual_next(&v)) {
                if (v.data->visual == rootVisual)
                    formats.rgb24 = v.data->format;
                if (d.data->depth == 32 && v.data->format == formats.argb32 && !formats.argbVisual)
                    formats.argbVisual = v.data->visual;
            }
    if (!formats.rgb24 || !formats.argb32 || !formats.a8)
        return nullptr;
    return &known.emplace(connection, formats).first->second;
}

// MARK: pictures

ServerPicture::ServerPicture(xcb_connection_t* connection, QSize size, bool argb)
    : connection_(connection), pixmap_(xcb_generate_id(connection)), picture_(xcb_generate_id(connection)),
      size_(size), argb_(argb) {
    const RenderFormats* formats = RenderFormats::of(connection);
    xcb_screen_t* screen = screenOf(connection);
    xcb_create_pixmap(connection, argb ? 32 : screen->root_depth, pixmap_, screen->root,
                      static_cast<std::uint16_t>(std::max(1, size.width())),
                      static_cast<std::uint16_t>(std::max(1, size.height())));
    xcb_render_create_picture(connection, picture_, pixmap_, argb ? formats->argb32 : formats->rgb24, 0,
                              nullptr);
}

ServerPicture::~ServerPicture() {
    xcb_render_free_picture(connection_, picture_);
    xcb_free_pixmap(connection_, pixmap_);
}

std::shared_ptr<ServerPicture> ServerPicture::fromImage(xcb_connection_t* connection, const QImage& image,
                                                        bool argb) {
    if (image.isNull() || !RenderFormats::of(connection))
        return nullptr;
    const QImage pixels =
        image.convertToFormat(argb ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    auto picture = std::make_shared<ServerPicture>(connection, pixels.size(), argb);
    xcb_gcontext_t gc = xcb_generate_id(connection);
    xcb_create_gc(connection, gc, picture->pixmap_, 0, nullptr);
    // In bands that fit one request.
    const std::size_t maxBytes = std::size_t(xcb_get_maximum_request_length(connection)) * 4 - 64;
    const int stride = static_cast<int>(pixels.bytesPerLine());
    const int rowsPerBand = std::max(1, static_cast<int>(maxBytes / std::size_t(stride)));
    for (int y = 0; y < pixels.height(); y += rowsPerBand) {
        const int rows = std::min(rowsPerBand, pixels.height() - y);
        xcb_put_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, picture->pixmap_, gc,
                      static_cast<std::uint16_t>(pixels.width()), static_cast<std::uint16_t>(rows), 0,
                      static_cast<std::int16_t>(y), 0, argb ? 32 : screenOf(connection)->root_depth,
                      static_cast<std::uint32_t>(stride * rows), pixels.constScanLine(y));
    }
    xcb_free_gc(connection, gc);
    return picture;
}

std::shared_ptr<ServerPicture> ServerPicture::fromScreen(xcb_connection_t* connection, const QRect& region) {
    if (region.isEmpty() || !RenderFormats::of(connection))
        return nullptr;
    auto picture = std::make_shared<ServerPicture>(connection, region.size(), false);
    picture->copyScreen(region);
    return picture;
}

void ServerPicture::copyScreen(const QRect& region) {
    xcb_screen_t* screen = screenOf(connection_);
    // Every window on the screen, not only the root's own background.
    xcb_gcontext_t gc = xcb_generate_id(connection_);
    const std::uint32_t values[] = {XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS};
    xcb_create_gc(connection_, gc, screen->root, XCB_GC_SUBWINDOW_MODE, values);
    xcb_copy_area(connection_, screen->root, pixmap_, gc, static_cast<std::int16_t>(region.x()),
                  static_cast<std::int16_t>(region.y()), 0, 0, static_cast<std::uint16_t>(size_.width()),
                  static_cast<std::uint16_t>(size_.height()));
    xcb_free_gc(connection_, gc);
}

void ServerPicture::wipe() {
    const xcb_rectangle_t all = {0, 0, static_cast<std::uint16_t>(size_.width()),
                                 static_cast<std::uint16_t>(size_.height())};
    xcb_render_fill_rectangles(connection_, XCB_RENDER_PICT_OP_SRC, picture_, premultiplied(Qt::black), 1,
                               &all);
}

std::shared_ptr<SurfacePicture> ServerPicture::scaled(QSize size) const {
    auto result = std::make_shared<ServerPicture>(connection_, size, argb_);
    // The transform maps the result's pixels to this picture's.
    const double sx = double(size_.width()) / size.width(), sy = double(size_.height()) / size.height();
    const xcb_render_transform_t scale = {fixed(sx), 0, 0, 0, fixed(sy), 0, 0, 0, fixed(1)};
    const xcb_render_transform_t identity = {fixed(1), 0, 0, 0, fixed(1), 0, 0, 0, fixed(1)};
    static const char bilinear[] = "bilinear", nearest[] = "nearest";
    xcb_render_set_picture_transform(connection_, picture_, scale);
    xcb_render_set_picture_filter(connection_, picture_, sizeof bilinear - 1, bilinear, 0, nullptr);
    xcb_render_composite(connection_, XCB_RENDER_PICT_OP_SRC, picture_, XCB_NONE, result->picture_, 0, 0, 0,
                         0, 0, 0, static_cast<std::uint16_t>(size.width()),
                         static_cast<std::uint16_t>(size.height()));
    xcb_render_set_picture_transform(connection_, picture_, identity);
    xcb_render_set_picture_filter(connection_, picture_, sizeof nearest - 1, nearest, 0, nullptr);
    return result;
}

QImage ServerPicture::read(const QRect& region) const {
    const QRect r = region.intersected(QRect(QPoint(0, 0), size_));
    if (r.isEmpty())
        return QImage();
    auto reply = xreply(xcb_get_image_reply(
        connection_,
        xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap_, static_cast<std::int16_t>(r.x()),
                      static_cast<std::int16_t>(r.y()), static_cast<std::uint16_t>(r.width()),
                      static_cast<std::uint16_t>(r.height()), ~0u),
        nullptr));
    if (!reply || xcb_get_image_data_length(reply.get()) < r.width() * r.height() * 4)
        return QImage();
    QImage image(r.size(), argb_ ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    const std::uint8_t* data = xcb_get_image_data(reply.get());
    for (int y = 0; y < r.height(); ++y)
        std::memcpy(image.scanLine(y), data + std::size_t(y) * r.width() * 4, std::size_t(r.width()) * 4);
    return image;
}

// MARK: the surface

X11OverlaySurface::X11OverlaySurface(xcb_connection_t* connection, xcb_window_t parent, QSize size, bool argb)
    : connection_(connection), window_(xcb_generate_id(connection)), size_(size), argb_(argb) {
    const RenderFormats* formats = RenderFormats::of(connection);
    xcb_screen_t* screen = screenOf(connection);
    format_ = argb ? formats->argb32 : formats->rgb24;
    const auto width = static_cast<std::uint16_t>(std::max(1, size.width()));
    const auto height = static_cast<std::uint16_t>(std::max(1, size.height()));
    if (argb) {
        xcb_colormap_t colormap = xcb_generate_id(connection);
        xcb_create_colormap(connection, XCB_COLORMAP_ALLOC_NONE, colormap, screen->root, formats->argbVisual);
        const std::uint32_t values[] = {0, 0, colormap};
        xcb_create_window(connection, 32, window_, parent, 0, 0, width, height, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, formats->argbVisual,
                          XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_COLORMAP, values);
        xcb_free_colormap(connection, colormap);
    } else {
        const std::uint32_t values[] = {screen->black_pixel};
        xcb_create_window(connection, XCB_COPY_FROM_PARENT, window_, parent, 0, 0, width, height, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL, values);
    }
    // Below any child the overlay window makes of its own.
    const std::uint32_t below[] = {XCB_STACK_MODE_BELOW};
    xcb_configure_window(connection, window_, XCB_CONFIG_WINDOW_STACK_MODE, below);
    xcb_map_window(connection, window_);
    windowPicture_ = xcb_generate_id(connection);
    xcb_render_create_picture(connection, windowPicture_, window_, format_, 0, nullptr);
}

X11OverlaySurface::~X11OverlaySurface() {
    base_.reset();
    gradient_.reset();
    back_.reset();
    setNote(QImage(), QPoint());
    if (gc_)
        xcb_free_gc(connection_, gc_);
    xcb_render_free_picture(connection_, windowPicture_);
    xcb_destroy_window(connection_, window_);
    xcb_flush(connection_);
}

xcb_render_picture_t X11OverlaySurface::solid(const QColor& colour) {
    xcb_render_picture_t picture = xcb_generate_id(connection_);
    xcb_render_create_solid_fill(connection_, picture, premultiplied(colour));
    return picture;
}

void X11OverlaySurface::setScene(const Scene& scene) {
    scene_ = scene;
    picture_ = std::dynamic_pointer_cast<ServerPicture>(scene.picture);
    pictureAtRest_ = std::dynamic_pointer_cast<ServerPicture>(scene.pictureAtRest);
    hasScene_ = true;
    state_ = State{};
    gradientProgress_ = -1; // drawn again: the opacity may be another
    if (screenBeneath_)
        return; // the screen's own pixels stand until endScreenBeneath()
    const bool needsBase = picture_ || scene_.gradientOpacity > 0;
    if (!needsBase) {
        base_.reset();
        // The colour itself is the background: nothing to draw before the window shows.
        // 8 bits a channel, premultiplied (an opaque colour is its own premultiplied form).
        const xcb_render_color_t c = premultiplied(argb_ ? scene_.fill : QColor(scene_.fill.rgb()));
        std::uint32_t pixel =
            (std::uint32_t(c.red >> 8) << 16) | (std::uint32_t(c.green >> 8) << 8) | (c.blue >> 8);
        if (argb_)
            pixel |= std::uint32_t(c.alpha >> 8) << 24;
        xcb_change_window_attributes(connection_, window_, XCB_CW_BACK_PIXEL, &pixel);
        background_ = 0;
    } else {
        renderBase();
    }
    baseState_ = state_;
}

void X11OverlaySurface::renderGradient() {
    // Drawn once per step of the drift into a picture of its own: blending a ready picture is
    // far cheaper for the server than working out a gradient at every pixel.
    if (!gradient_ || gradient_->size() != size_)
        gradient_ = std::make_unique<ServerPicture>(connection_, size_, true);
    const double w = size_.width(), h = size_.height();
    // White in the lower left, clear in the middle, black in the upper right; both ends travel
    // towards the centre as the drift goes on.
    const double p = state_.driftProgress;
    const xcb_render_pointfix_t from = {fixed(0.4 * p * w), fixed((1 - 0.2 * p) * h)};
    const xcb_render_pointfix_t to = {fixed((1 - 0.4 * p) * w), fixed(0.2 * p * h)};
    const xcb_render_fixed_t stops[] = {fixed(0), fixed(0.5), fixed(0.5), fixed(1)};
    const std::uint16_t a = channel(scene_.gradientOpacity);
    // Gradient stops, unlike other render colours, are not premultiplied, and are blended as
    // they are: each half keeps its one colour and only fades, as Qt's gradients do.
    const xcb_render_color_t colours[] = {
        {0xFFFF, 0xFFFF, 0xFFFF, a}, {0xFFFF, 0xFFFF, 0xFFFF, 0}, {0, 0, 0, 0}, {0, 0, 0, a}};
    xcb_render_picture_t gradient = xcb_generate_id(connection_);
    xcb_render_create_linear_gradient(connection_, gradient, from, to, 4, stops, colours);
    const std::uint32_t pad[] = {XCB_RENDER_REPEAT_PAD}; // the end colours go on past the ends
    xcb_render_change_picture(connection_, gradient, XCB_RENDER_CP_REPEAT, pad);
    xcb_render_composite(connection_, XCB_RENDER_PICT_OP_SRC, gradient, XCB_NONE, gradient_->picture(), 0, 0,
                         0, 0, 0, 0, static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h));
    xcb_render_free_picture(connection_, gradient);
    gradientProgress_ = p;
}

void X11OverlaySurface::useAsBackground(const ServerPicture& picture) {
    if (background_ == picture.pixmap())
        return;
    background_ = picture.pixmap();
    xcb_change_window_attributes(connection_, window_, XCB_CW_BACK_PIXMAP, &background_);
}

void X11OverlaySurface::renderBase() {
    // A picture that is the frame as it stands (the screen copied a moment ago, unmoved, with
    // nothing over it) is the background itself: nothing to draw before the window shows.
    if (picture_ && picture_->isArgb() == argb_ && scene_.pictureRect == QRect(QPoint(0, 0), size_) &&
        state_.offset.isNull() && scene_.gradientOpacity <= 0 &&
        (scene_.fill.alpha() == 0 || scene_.fill.alpha() == 255)) {
        base_ = picture_;
        useAsBackground(*base_);
        return;
    }
    if (pictureAtRest_ && pictureAtRest_->size() == size_ && pictureAtRest_->isArgb() == argb_ &&
        state_.offset.isNull() && scene_.gradientOpacity <= 0 && scene_.fill.alpha() == 255) {
        base_ = pictureAtRest_;
        useAsBackground(*base_);
        return;
    }
    if (!base_ || base_->size() != size_ || base_ == picture_ || base_ == pictureAtRest_)
        base_ = std::make_shared<ServerPicture>(connection_, size_, argb_);
    const auto w = static_cast<std::uint16_t>(size_.width()), h = static_cast<std::uint16_t>(size_.height());
    const xcb_render_picture_t target = base_->picture();
    if (picture_) {
        const QPoint at = scene_.pictureRect.topLeft() + state_.offset;
        if (scene_.pictureRect.size() == picture_->size()) {
            xcb_render_composite(connection_, XCB_RENDER_PICT_OP_SRC, picture_->picture(), XCB_NONE, target,
                                 static_cast<std::int16_t>(-at.x()), static_cast<std::int16_t>(-at.y()), 0, 0,
                                 0, 0, w, h);
        }
        if (scene_.fill.alpha() < 255 && scene_.fill.alpha() > 0) {
            xcb_render_picture_t tint = solid(scene_.fill);
            xcb_render_composite(connection_, XCB_RENDER_PICT_OP_OVER, tint, XCB_NONE, target, 0, 0, 0, 0, 0,
                                 0, w, h);
            xcb_render_free_picture(connection_, tint);
        }
    } else {
        const xcb_rectangle_t all = {0, 0, w, h};
        xcb_render_fill_rectangles(connection_, XCB_RENDER_PICT_OP_SRC, target, premultiplied(scene_.fill), 1,
                                   &all);
    }
    if (scene_.gradientOpacity > 0) {
        if (!gradient_ || gradientProgress_ != state_.driftProgress)
            renderGradient();
        xcb_render_composite(connection_, XCB_RENDER_PICT_OP_OVER, gradient_->picture(), XCB_NONE, target, 0,
                             0, 0, 0, 0, 0, w, h);
    }
    useAsBackground(*base_);
}

void X11OverlaySurface::renderFrame(xcb_drawable_t drawable, xcb_render_picture_t target, QPoint origin,
                                    QSize size) {
    const auto w = static_cast<std::uint16_t>(size.width()), h = static_cast<std::uint16_t>(size.height());
    const xcb_rectangle_t all = {0, 0, w, h};
    const int dim = std::clamp(state_.dimStep, 0, 255);
    if (!base_) {
        xcb_render_fill_rectangles(connection_, XCB_RENDER_PICT_OP_SRC, target, premultiplied(dimmedFill()),
                                   1, &all);
    } else {
        // The ready picture copied as it is, then black over it by the dimness: the two
        // cheapest things the server can do with a screenful of pixels.
        xcb_copy_area(connection_, base_->pixmap(), drawable, gc(), static_cast<std::int16_t>(origin.x()),
                      static_cast<std::int16_t>(origin.y()), 0, 0, w, h);
        if (dim > 0)
            xcb_render_fill_rectangles(connection_, XCB_RENDER_PICT_OP_OVER, target,
                                       premultiplied(QColor(0, 0, 0, dim)), 1, &all);
    }
    if (note_) {
        const QRect area = QRect(noteAt_, note_->size()).intersected(QRect(origin, size));
        if (!area.isEmpty())
            xcb_render_composite(connection_, XCB_RENDER_PICT_OP_OVER, note_->picture(), XCB_NONE, target,
                                 static_cast<std::int16_t>(area.x() - noteAt_.x()),
                                 static_cast<std::int16_t>(area.y() - noteAt_.y()), 0, 0,
                                 static_cast<std::int16_t>(area.x() - origin.x()),
                                 static_cast<std::int16_t>(area.y() - origin.y()),
                                 static_cast<std::uint16_t>(area.width()),
                                 static_cast<std::uint16_t>(area.height()));
    }
}

QColor X11OverlaySurface::dimmedFill() const {
    // A plain colour: dimmed, it is only another colour.
    QColor c = scene_.fill;
    const int dim = std::clamp(state_.dimStep, 0, 255);
    if (dim > 0) {
        const double keep = (255 - dim) / 255.0;
        if (argb_) // black over a translucent colour: darker and less transparent
            c = QColor::fromRgbF(c.redF() * c.alphaF() * keep / (1 - keep * (1 - c.alphaF())),
                                 c.greenF() * c.alphaF() * keep / (1 - keep * (1 - c.alphaF())),
                                 c.blueF() * c.alphaF() * keep / (1 - keep * (1 - c.alphaF())),
                                 1 - keep * (1 - c.alphaF()));
        else
            c = QColor::fromRgbF(c.redF() * keep, c.greenF() * keep, c.blueF() * keep);
    }
    return c;
}

void X11OverlaySurface::present() {
    // Every request below writes pixels of the window only once, with their final value, so
    // whatever the server shows between two of them is a whole frame, the old one or the new
    // one, never one without the note: the note's area is composed offscreen and copied in one
    // piece, the rest is drawn in one request that leaves the note's area alone.
    if (noteRect_.isEmpty()) {
        drawOutsideNote(windowPicture_);
        return;
    }
    renderFrame(noteFrame_->pixmap(), noteFrame_->picture(), noteRect_.topLeft(), noteRect_.size());
    xcb_copy_area(connection_, noteFrame_->pixmap(), window_, gc(), 0, 0,
                  static_cast<std::int16_t>(noteRect_.x()), static_cast<std::int16_t>(noteRect_.y()),
                  static_cast<std::uint16_t>(noteRect_.width()),
                  static_cast<std::uint16_t>(noteRect_.height()));
    drawOutsideNote(outsideNote_);
}

void X11OverlaySurface::drawOutsideNote(xcb_render_picture_t target) {
    // One request for the whole surface (the target's clip leaves out the note's area).
    const auto w = static_cast<std::uint16_t>(size_.width()), h = static_cast<std::uint16_t>(size_.height());
    const int dim = std::clamp(state_.dimStep, 0, 255);
    if (!base_) {
        const xcb_rectangle_t all = {0, 0, w, h};
        xcb_render_fill_rectangles(connection_, XCB_RENDER_PICT_OP_SRC, target, premultiplied(dimmedFill()),
                                   1, &all);
        return;
    }
    if (dim == 0) {
        xcb_render_composite(connection_, XCB_RENDER_PICT_OP_SRC, base_->picture(), XCB_NONE, target, 0, 0, 0,
                             0, 0, 0, w, h);
        return;
    }
    // Black over the picture: made offscreen first, by a copy and a blend that every server
    // does fast (one request that scales the picture by what is left is several times slower
    // where the server renders in software).
    if (!back_ || back_->size() != size_)
        back_ = std::make_unique<ServerPicture>(connection_, size_, argb_);
    xcb_render_composite(connection_, XCB_RENDER_PICT_OP_SRC, base_->picture(), XCB_NONE, back_->picture(), 0,
                         0, 0, 0, 0, 0, w, h);
    const xcb_rectangle_t all = {0, 0, w, h};
    xcb_render_fill_rectangles(connection_, XCB_RENDER_PICT_OP_OVER, back_->picture(),
                               premultiplied(QColor(0, 0, 0, dim)), 1, &all);
    xcb_render_composite(connection_, XCB_RENDER_PICT_OP_SRC, back_->picture(), XCB_NONE, target, 0, 0, 0, 0,
                         0, 0, w, h);
}

xcb_gcontext_t X11OverlaySurface::gc() {
    if (!gc_) {
        gc_ = xcb_generate_id(connection_);
        const std::uint32_t noExposures[] = {0};
        xcb_create_gc(connection_, gc_, window_, XCB_GC_GRAPHICS_EXPOSURES, noExposures);
    }
    return gc_;
}

void X11OverlaySurface::setNote(const QImage& note, QPoint at) {
    note_ = note.isNull() ? nullptr : ServerPicture::fromImage(connection_, note, true);
    noteAt_ = at;
    noteRect_ = note_ ? QRect(noteAt_, note_->size()).intersected(QRect(QPoint(0, 0), size_)) : QRect();
    if (outsideNote_) {
        xcb_render_free_picture(connection_, outsideNote_);
        outsideNote_ = 0;
    }
    noteFrame_.reset();
    if (noteRect_.isEmpty())
        return;
    noteFrame_ = std::make_unique<ServerPicture>(connection_, noteRect_.size(), argb_);
    // The window less the note's area: above it, below it, and either side of it.
    auto rect = [](int x, int y, int w, int h) {
        return xcb_rectangle_t{static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                               static_cast<std::uint16_t>(std::max(0, w)),
                               static_cast<std::uint16_t>(std::max(0, h))};
    };
    const QRect n = noteRect_;
    const int w = size_.width(), h = size_.height();
    const xcb_rectangle_t around[] = {rect(0, 0, w, n.top()), rect(0, n.top(), n.left(), n.height()),
                                      rect(n.right() + 1, n.top(), w - n.right() - 1, n.height()),
                                      rect(0, n.bottom() + 1, w, h - n.bottom() - 1)};
    outsideNote_ = xcb_generate_id(connection_);
    xcb_render_create_picture(connection_, outsideNote_, window_, format_, 0, nullptr);
    xcb_render_set_picture_clip_rectangles(connection_, outsideNote_, 0, 0, 4, around);
}

void X11OverlaySurface::showScreenBeneath() {
    screenBeneath_ = true;
    const std::uint32_t none = XCB_BACK_PIXMAP_NONE;
    xcb_change_window_attributes(connection_, window_, XCB_CW_BACK_PIXMAP, &none);
    background_ = 0;
}

void X11OverlaySurface::tintScreenBeneath(const QColor& tint) {
    if (!screenBeneath_)
        return;
    // The tinted screen shows with this one request (a fill, which the server does faster than
    // a composite of a solid picture).
    const xcb_rectangle_t all = {0, 0, static_cast<std::uint16_t>(size_.width()),
                                 static_cast<std::uint16_t>(size_.height())};
    xcb_render_fill_rectangles(connection_, XCB_RENDER_PICT_OP_OVER, windowPicture_, premultiplied(tint), 1,
                               &all);
}

void X11OverlaySurface::endScreenBeneath() {
    if (!screenBeneath_)
        return;
    screenBeneath_ = false;
    if (!hasScene_)
        return;
    const State state = state_;
    setScene(scene_);
    // The window shows that frame already, unless a note, a dimness or an offset goes over it.
    if (note_ || !(state == State{}))
        show(state);
    xcb_flush(connection_);
}

void X11OverlaySurface::show(const State& state) {
    if (!hasScene_)
        return;
    if (screenBeneath_) {
        state_ = state;
        return;
    }
    const bool baseChanged =
        state.offset != baseState_.offset || state.driftProgress != baseState_.driftProgress;
    state_ = state;
    if (baseChanged && base_) {
        renderBase();
        baseState_ = state_;
    }
    present();
    xcb_flush(connection_);
}

void X11OverlaySurface::redraw() {
    if (hasScene_ && !screenBeneath_)
        present();
}

QImage X11OverlaySurface::grab(const QRect& region) {
    const QRect r = region.intersected(QRect(QPoint(0, 0), size_));
    if (!hasScene_ || screenBeneath_ || r.isEmpty())
        return QImage();
    ServerPicture scratch(connection_, r.size(), argb_);
    renderFrame(scratch.pixmap(), scratch.picture(), r.topLeft(), r.size());
    return scratch.read(QRect(QPoint(0, 0), r.size()));
}

void X11OverlaySurface::setHole(const std::optional<QRect>& hole) {
    if (hole == hole_)
        return;
    hole_ = hole;
    xcb_shape_mask(connection_, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_BOUNDING, window_, 0, 0, XCB_NONE);
    if (hole) {
        const xcb_rectangle_t r = {static_cast<std::int16_t>(hole->x()), static_cast<std::int16_t>(hole->y()),
                                   static_cast<std::uint16_t>(hole->width()),
                                   static_cast<std::uint16_t>(hole->height())};
        xcb_shape_rectangles(connection_, XCB_SHAPE_SO_SUBTRACT, XCB_SHAPE_SK_BOUNDING,
                             XCB_CLIP_ORDERING_UNSORTED, window_, 0, 0, 1, &r);
    }
    xcb_flush(connection_);
}

void X11OverlaySurface::clear() {
    screenBeneath_ = false;
    const std::uint32_t black = 0;
    xcb_change_window_attributes(connection_, window_, XCB_CW_BACK_PIXEL, &black);
    background_ = 0;
    base_.reset();
    gradient_.reset();
    back_.reset();
    setNote(QImage(), QPoint());
    scene_ = Scene{};
    picture_.reset();
    pictureAtRest_.reset();
    hasScene_ = false;
    state_ = baseState_ = State{};
    setHole(std::nullopt);
    xcb_flush(connection_);
}

} // namespace tolva
