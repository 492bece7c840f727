#include "WindowIcon.h"

#include <QImage>
#include <QPainter>
#include <QPixmap>

#include <algorithm>
#include <cmath>

namespace {

// Drawn for each size rather than scaled, so that the bars stay whole pixels.
QImage PostalMark(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xD7, 0x1E, 0x28));
    const qreal corner = size * 0.18;
    painter.drawRoundedRect(QRectF(0, 0, size, size), corner, corner);

    painter.setRenderHint(QPainter::Antialiasing, false);
    auto at = [size](double share) { return static_cast<int>(std::lround(size * share)); };
    const int bar = std::max(2, at(0.11));
    const int left = at(0.2);
    const int width = size - 2 * left;
    const int stemLeft = (size - bar) / 2;
    painter.fillRect(left, at(0.2), width, bar, Qt::white);                       // upper bar
    painter.fillRect(left, at(0.42), width, bar, Qt::white);                      // lower bar
    painter.fillRect(stemLeft, at(0.42), bar, size - at(0.16) - at(0.42), Qt::white);   // stem
    return image;
}

} // namespace

QIcon WindowIcon()
{
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64})
        icon.addPixmap(QPixmap::fromImage(PostalMark(size)));
    return icon;
}
