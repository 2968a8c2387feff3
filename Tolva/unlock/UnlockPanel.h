// The small card shown on the overlay when the user moves the mouse or presses a key: a lock
// icon, the PIN dots, one status line and one note, all from an UnlockPanelModel.
#pragma once

#include "unlock/PinDotsView.h"
#include "unlock/UnlockPanelModel.h"

#include <QLabel>
#include <QWidget>

#include <optional>

namespace tolva {

class UnlockPanel : public QWidget {
public:
    static constexpr int panelWidth = 240;
    static constexpr int panelHeight = 161;

    explicit UnlockPanel(QWidget* parent = nullptr);

    // Applies a model; an equal model changes nothing. Returns whether anything was applied.
    bool update(const UnlockPanelModel& model);
    const std::optional<UnlockPanelModel>& lastModel() const { return lastModel_; }

    // Dark card with light text (over pictures and dark colours), or light card with dark text.
    void setDarkAppearance(bool dark);
    bool isDarkAppearance() const { return dark_; }

    PinDotsView* dots() const { return dots_; }
    QLabel* statusLabel() const { return status_; }
    QLabel* noteLabel() const { return note_; }
    // The lock icon; the fingerprint control hides it while it takes its place.
    QLabel* icon() const { return icon_; }
    void setLockIconVisible(bool visible) { icon_->setVisible(visible); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void applyColors();

    QLabel* icon_;
    PinDotsView* dots_;
    QLabel* status_;
    QLabel* note_;
    std::optional<UnlockPanelModel> lastModel_;
    bool dark_ = true;
};

} // namespace tolva
