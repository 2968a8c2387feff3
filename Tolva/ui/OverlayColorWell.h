// The overlay colour control: a swatch button that opens the shared colour dialog beside the
// settings window (the side-panel placement) and writes every new colour the user picks; Cancel
// in the dialog puts the colour from before back.
#pragma once

#include "TolvaCore/SRGBColor.h"

#include <QColor>
#include <QColorDialog>
#include <QPushButton>

#include <functional>
#include <optional>

namespace tolva {

class OverlayColorWell : public QPushButton {
public:
    explicit OverlayColorWell(QWidget* parent = nullptr);
    ~OverlayColorWell() override;

    // The binding to the preference.
    std::function<SRGBColor()> get;
    std::function<void(const SRGBColor&)> set;

    // Shows the bound colour (unless the well already shows it).
    void refresh();
    // Opens the colour dialog beside this well's window.
    void activate();
    // A colour the user picked: ignored when it is not an sRGB colour or equals the bound one.
    void colorChanged(const QColor& color);
    QColor color() const { return color_; }

    // The one colour dialog of the program, made on first use.
    static QColorDialog* sharedPanel();
    static bool isPanelVisible();
    static void hidePanel();
    // Places the panel next to `window` (12 points apart, top-aligned) and shows it; when
    // neither side has room, `window` moves over so that the two stand side by side.
    static void present(QWidget* window);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor color_;
    QMetaObject::Connection connection_;
    QMetaObject::Connection finished_;
};

// sRGB without alpha; nothing for colours of another model that cannot be converted.
std::optional<SRGBColor> srgbColor(const QColor& color);

} // namespace tolva
