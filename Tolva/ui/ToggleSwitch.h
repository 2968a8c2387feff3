// An on/off switch in the style of desktop settings windows: a checkable button drawn as a track
// with a knob, coloured with the palette's highlight when on.
#pragma once

#include <QAbstractButton>

namespace tolva {

class ToggleSwitch : public QAbstractButton {
public:
    explicit ToggleSwitch(QWidget* parent = nullptr);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace tolva
