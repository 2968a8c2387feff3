// The content of every overlay window: the picture, the dimming and gradient of the motion
// effects, the away note and the unlock panel, for one display. It reports input to the lock
// controller through two callbacks and decides nothing about locking itself.
#pragma once

#include "overlay/AwayNoteView.h"
#include "overlay/MotionCurve.h"
#include "overlay/OverlayContent.h"
#include "overlay/OverlaySurface.h"
#include "platform/Scheduler.h"
#include "unlock/UnlockPanel.h"

#include <QWidget>

class QPainter;

#include <memory>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <tuple>

namespace tolva {

class OverlayView : public QWidget {
public:
    using PointerCallback = std::function<void(const std::string& source)>;
    using KeyCallback =
        std::function<void(std::int64_t keyCode, std::uint64_t flags,
                           const std::optional<std::string>& characters, const std::string& source)>;

    // Seconds, after the time scale: what the running effects use.
    struct Timings {
        std::optional<double> pixelShiftInterval;
        std::optional<double> pixelShiftMove;
        std::optional<double> breathingOneWay;
        std::optional<double> driftOneWay;
    };

    OverlayView(Scheduler& scheduler, QSize size, bool guardsInput, QWidget* parent = nullptr);
    ~OverlayView() override;

    bool guardsInput() const { return guardsInput_; }

    void apply(const OverlayContent& content, std::optional<std::uint32_t> displayID);
    // What shows behind a translucent tint when no compositor can show the live screen.
    void setBackdrop(const QImage& backdrop);

    // Hands the drawing of everything but the panel to the display server, on a surface of its
    // own. From then on this widget paints only behind the panel, and pictures arrive as the
    // server's pictures.
    void attachSurface(std::unique_ptr<OverlaySurface> surface);
    std::unique_ptr<OverlaySurface> detachSurface();
    OverlaySurface* surface() const { return surface_.get(); }
    // The screen as it was at the lock, copied inside the server: this display's snapshot, or
    // (`isBackdrop`) what a tint lies over when no compositor shows the live screen; `tinted`
    // when the tint is in the picture already.
    void setScreenPicture(std::shared_ptr<SurfacePicture> picture, bool isBackdrop, bool tinted = false);
    // The user's picture already on the server, scaled for this display (see `pictureRectFor`),
    // and (when made in advance) cut to the display as it first shows.
    void setServerImage(std::shared_ptr<SurfacePicture> picture,
                        std::shared_ptr<SurfacePicture> atRest = nullptr);
    // The size a picture of `size` takes to cover a view of `view` pixels with the shift's margin.
    static QRect pictureRectFor(QSize size, QSize view, bool withMargin);
    // Where a picture of `picture` pixels sits, centred on a view of `view` pixels.
    static QPoint centred(QSize picture, QSize view);
    // Lets go of every picture of the screen or of the user's image (at unlock); true when
    // there was one.
    bool clearPictures();

    void startAnimations(const OverlayAnimationSet& animations, const OverlayAnimationTuning& tuning,
                         double timeScale);
    void stopAnimations();
    const OverlayAnimationSet& activeAnimations() const { return active_; }
    const std::optional<OverlayAnimationTuning>& activeTuning() const { return activeTuning_; }
    Timings timings() const { return timings_; }

    void showPanel();
    void hidePanel(bool animated);
    bool isPanelVisible() const { return panelVisible_; }
    UnlockPanel* panel() const { return panel_; }
    // The card as it looks now, over what this view draws beneath it: the picture a cover that
    // shows the panel on a surface of its own (Wayland, the GNOME Shell) puts on screen.
    QImage panelPicture();
    AwayNoteView* awayNote() const { return awayNote_; }

    // The picture beneath the effects and the note, standing still, on an image `grow` pixels
    // larger than the view on every side (the view's own place at (grow, grow)): what a cover
    // that moves the picture by itself holds. Up to `pictureMargin` of it is the shift's margin.
    QImage restingPicture(int grow);
    static constexpr int pictureMargin = int(OverlayAnimationTuning::maxPixelShiftStep);
    // The picture's offset and the drift's gradient as the view draws them now: the offset in
    // whole pixels, the gradient over the view's rect (false when none drifts).
    QPoint shownPictureOffset() const;
    bool paintGradient(QPainter& p) const;

    // Current values of the effects (for drawing and for tests).
    QPointF pictureOffset() const; // y-down points from the centre
    double dimOpacity() const;
    double gradientProgress() const;
    // Frames drawn since the view was made (tests and benchmarks count wake-ups with it).
    int framesDrawn() const { return framesDrawn_; }
    bool hasPicture() const { return !picture_.isNull() || screenPicture_ || serverImage_; }

    PointerCallback onPointerInput;
    KeyCallback onKey;
    // After each frame of the effects that the view draws itself (no surface attached): a cover
    // that shows a rendering of the view renders it again.
    std::function<void()> onFrame;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;

private:
    double elapsed() const; // seconds since the effects started
    void frameChanged();
    void applyScene();
    OverlaySurface::State surfaceState() const;
    void drawNote();
    void keepNoteClearOfPanel();
    QRect panelRect() const;
    QRect inPixels(const QRect& logical) const;
    void refreshPanelBackdrop();
    void compose(std::tuple<int, int, long long> key, QPointF offset);
    QRectF scalePicture();
    double shownGradientProgress() const;
    void drawGradient(QPainter& p, double progress) const;
    void scheduleFrame();
    void shiftPicture();
    void fadePanel(double target, double duration, bool hideAtEnd);
    void panelGone();
    void fadeStep();

    Scheduler& scheduler_;
    const bool guardsInput_;
    AwayNoteView* awayNote_;
    UnlockPanel* panel_;

    QColor background_;
    QImage picture_;
    QImage scaledPicture_; // the picture already scaled to cover the view and its margin
    // Picture and gradient composed once per visible change of either; breathing frames only
    // blend this with black.
    QImage composed_;
    std::optional<std::tuple<int, int, long long>> composedKey_;
    double driftQuantum_ = 1.0 / 512;
    QImage backdrop_;
    bool translucent_ = false;
    int framesDrawn_ = 0;
    double brightest_ = 255; // the highest channel value the overlay can show (0…255)
    QColor tint_;

    // Drawing by the display server.
    std::unique_ptr<OverlaySurface> surface_;
    std::shared_ptr<SurfacePicture> screenPicture_;
    std::shared_ptr<SurfacePicture> serverImage_;
    std::shared_ptr<SurfacePicture> serverImageAtRest_;
    bool screenPictureIsBackdrop_ = false;
    bool screenPictureTinted_ = false;
    bool sceneGrown_ = false; // the picture carries the pixel shift's margin
    QImage panelBackdrop_;    // the frame behind the panel, read back from the server
    Scheduler::Handle noteTask_;
    Scheduler::Handle growTask_;

    OverlayAnimationSet active_;
    std::optional<OverlayAnimationTuning> activeTuning_;
    Timings timings_;
    Instant startedAt_{};
    std::optional<AutoReversingCurve> breathing_;
    std::optional<AutoReversingCurve> drift_;
    double gradientOpacity_ = 0;
    // Pixel shift: the move in progress, from one offset to the next.
    int shiftCount_ = 0;
    double shiftStep_ = 0;
    QPointF shiftFrom_, shiftTo_;
    Instant shiftStartedAt_{};
    std::optional<double> shiftMoveSeconds_;
    Scheduler::Handle shiftTask_;
    Scheduler::Handle frame_;
    // Panel fades.
    bool panelVisible_ = false;
    double panelAlpha_ = 0;
    struct Fade {
        double from, target, duration;
        bool hideAtEnd;
        Instant start;
    };
    std::optional<Fade> fade_;
    Scheduler::Handle fadeTask_;
};

} // namespace tolva
