// The small card shown on the overlay when the user moves the mouse or presses a key: a lock
// icon, the PIN dots, one status line and one note, all from an UnlockPanelModel. The card grows
// to fit its texts in every language, and wraps them into balanced lines.
#pragma once

#include "unlock/PinDotsView.h"
#include "unlock/UnlockPanelModel.h"

#include <QLabel>
#include <QWidget>

#include <functional>
#include <optional>

namespace tolva {

class UnlockPanel : public QWidget {
public:
    // The smallest card; it widens and grows for longer texts, up to maxPanelWidth wide.
    static constexpr int panelWidth = 240;
    static constexpr int panelHeight = 161;
    static constexpr int maxPanelWidth = 360;
    // Lines a text may take before the card widens: the status line, the note.
    static constexpr int statusLines = 2;
    static constexpr int noteLines = 4;

    explicit UnlockPanel(QWidget* parent = nullptr);

    // Applies a model; an equal model changes nothing. Returns whether anything was applied.
    bool update(const UnlockPanelModel& model);
    const std::optional<UnlockPanelModel>& lastModel() const { return lastModel_; }

    // Dark card with light text (over pictures and dark colours), or light card with dark text.
    void setDarkAppearance(bool dark);
    bool isDarkAppearance() const { return dark_; }
    // The card's fill (translucent), for the contrast of the texts over what lies behind it.
    QColor cardColor() const;

    PinDotsView* dots() const { return dots_; }
    QLabel* statusLabel() const { return status_; }
    QLabel* noteLabel() const { return note_; }
    // The lock icon; the fingerprint control hides it while it takes its place.
    QLabel* icon() const { return icon_; }
    void setLockIconVisible(bool visible) { icon_->setVisible(visible); }

    // Told after the card changed its size for new texts (it keeps its centre in its parent).
    std::function<void()> onResized;

    // The narrowest width, at most `width`, at which `label` wraps its text into as many lines
    // as at `width`: lines of even length, never one word left alone on the last line.
    static int balancedWidth(const QLabel& label, int width);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void applyColors();
    // Sizes the card for the texts shown now and lays out its content in it.
    void fitToTexts();
    void layoutContent();

    QLabel* icon_;
    PinDotsView* dots_;
    QLabel* status_;
    QLabel* note_;
    std::optional<UnlockPanelModel> lastModel_;
    bool dark_ = true;
};

// Writes to the debug log what the shown panel says, whenever that changes: a wait counts down
// there, and a cover the program does not show itself (the compositor's, the Shell's) can then
// still be followed from the log.
class PanelTextLog {
public:
    void shown(const UnlockPanel& panel);
    void hidden() { last_.clear(); }

private:
    QString last_;
};

} // namespace tolva
