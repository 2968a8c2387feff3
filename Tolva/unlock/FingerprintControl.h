// The fingerprint control shown in the unlock panel in place of the lock icon while a
// fingerprint check waits for a finger.
#pragma once

#include <QWidget>

namespace tolva {

class UnlockPanel;

class FingerprintControl : public QWidget {
    Q_OBJECT

public:
    // Where the control sits in the panel (it takes the lock icon's place), on the smallest card.
    static constexpr QRect frame{104, 15, 32, 32};
    static constexpr int panelWidthForFrame = 240;

    // Placed into `panel` at `frame`; the owner hides the panel's lock icon meanwhile.
    explicit FingerprintControl(UnlockPanel* panel);

    // A scan was not recognised: the ridges are drawn in the error colour until the next result.
    void setRejected(bool rejected);
    bool isRejected() const { return rejected_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool rejected_ = false;
};

} // namespace tolva
