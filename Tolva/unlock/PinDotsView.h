// The row of dots of the unlock panel: one per character of the PIN, filled as they are typed.
#pragma once

#include <QWidget>

#include <cstdint>
#include <vector>

namespace tolva {

class PinDotsView : public QWidget {
public:
    struct Geometry {
        int count = 0;         // dots drawn (at most 16)
        double diameter = 0;   // 9, 7 or 5 points
        std::vector<double> x; // left edge of each dot
        double y = 0;          // top edge of every dot
    };
    // Where the dots go in a view of `width` × `height`.
    static Geometry layout(std::int64_t filled, std::int64_t total, double width, double height);

    explicit PinDotsView(QWidget* parent = nullptr);

    void setState(std::int64_t filled, std::int64_t total, bool enabled);
    std::int64_t filled() const { return filled_; }
    std::int64_t total() const { return total_; }
    bool isInputEnabled() const { return enabled_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::int64_t filled_ = 0;
    std::int64_t total_ = 4;
    bool enabled_ = true;
};

} // namespace tolva
