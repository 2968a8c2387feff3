// The away note drawn over the overlay picture: large centred text in the upper part of the
// screen ("Large Text"), or a small tilted yellow sticky note with handwriting.
#pragma once

#include "TolvaCore/AwayNoteStyle.h"

#include <QFont>
#include <QRectF>
#include <QStringList>
#include <QWidget>

#include <optional>
#include <string>

namespace tolva {

class AwayNoteView : public QWidget {
public:
    struct Model {
        std::string text;
        std::optional<std::string> returnLine;
        AwayNoteStyle style = AwayNoteStyle::lockScreen;
        bool light = false; // the overlay behind the note is light
        friend bool operator==(const Model&, const Model&) = default;
    };

    // Fonts and frames for a view of W × H, in the view's own (y-down) coordinates.
    struct Layout {
        QFont mainFont, subFont;
        QRectF mainFrame, subFrame; // in the card's coordinates for the sticky note
        QRectF vignetteFrame;       // lock-screen style
        QRectF cardFrame;           // sticky-note style, before its rotation
        QRectF stripFrame;          // in the card's coordinates
        double cardRotation = 0;    // degrees, positive = clockwise on screen
        double blockCentreY = 0;    // the text block's (lock screen) or card's centre, from the top
        // Sticky note: the margin inside the card, the gap above the return line, and the
        // size of the tilted card's bounding box.
        double padding = 0, gap = 0;
        QSizeF cardBox;
    };
    // `keepClear`: an area in the middle of the view (the unlock panel's) that the sticky note
    // stays above; the card also stays inside the view with a margin, made smaller if it must.
    static Layout layout(const Model& model, double width, double height,
                         const std::optional<QRectF>& keepClear = std::nullopt);
    // `text` broken into at most `lines` lines of at most `width`, at spaces (inside a word only
    // when the word alone is wider); the last line ends with an ellipsis when text is left over.
    // One pass: each word is measured once, so the time grows with the text's length, not with
    // its square, whatever a damaged preferences file holds.
    static QStringList wrap(const QFont& font, const QString& text, double width, int lines);
    // The handwriting face at `pixelSize`, or the bold system font when it is not installed.
    static QFont handwritingFont(double pixelSize);

    explicit AwayNoteView(QWidget* parent = nullptr);

    // Shows, changes or hides the note; returns whether anything changed.
    bool apply(const std::optional<Model>& model);
    const std::optional<Model>& model() const { return model_; }
    // The area the sticky note keeps clear of (the unlock panel's, in this view's coordinates).
    void setKeepClear(const std::optional<QRectF>& area);
    const std::optional<QRectF>& keepClear() const { return keepClear_; }
    // Where the note draws anything at all (empty without a note).
    QRect paintedBounds() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::optional<Model> model_;
    std::optional<QRectF> keepClear_;
};

} // namespace tolva
