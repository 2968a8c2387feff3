// Pictures for covers in tests, and checks of the pictures tests take of a cover: where a
// picture's red half meets its blue half, and how light an area is.
#pragma once

#include <QImage>
#include <QPainter>
#include <QRect>

namespace tolva::test {

// A picture whose left half is red and right half blue.
inline QImage redLeftBlueRight(int width, int height) {
    QImage picture(width, height, QImage::Format_RGB32);
    picture.fill(Qt::red);
    QPainter(&picture).fillRect(width / 2, 0, width - width / 2, height, Qt::blue);
    return picture;
}

// The first column of row `y` where blue outweighs red, scanning from the left; -1 if none.
inline int redToBlueEdge(const QImage& shot, int y) {
    for (int x = 0; x < shot.width(); ++x)
        if (const QRgb p = shot.pixel(x, y); qBlue(p) > qRed(p))
            return x;
    return -1;
}

// The mean of the green channel over `area` of `shot`, every 8th pixel each way.
inline double meanGreen(const QImage& shot, const QRect& area) {
    double sum = 0;
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); y += 8)
        for (int x = area.left(); x <= area.right(); x += 8, ++count)
            sum += qGreen(shot.pixel(x, y));
    return count ? sum / count : 0;
}

} // namespace tolva::test
