#include "ui/pictures.h"

#include <QPainter>
#include <QRadialGradient>

namespace {

constexpr int pictureSize = 32;

struct TLampColors {
    QColor face;  // the lamp's own colour
    QColor rim;   // its darker edge
};

TLampColors lampColors(TConnectionPicture which) {
    switch (which) {
    case TConnectionPicture::idle: return {QColor(160, 200, 240), QColor(84, 120, 168)};
    case TConnectionPicture::connected: return {QColor(44, 186, 64), QColor(18, 104, 30)};
    case TConnectionPicture::activity: return {QColor(228, 40, 30), QColor(132, 18, 10)};
    }
    return {};
}

}  // namespace

QPixmap connectionPicture(TConnectionPicture which) {
    const TLampColors colors = lampColors(which);
    QImage image(pictureSize, pictureSize, QImage::Format_RGB32);
    image.fill(pictureBackground);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);

    // A round lamp in a dark bezel, lit from the upper left.
    const QPointF centre(16, 16);
    painter.setPen(QPen(pictureBackground.darker(160), 1.5));
    painter.setBrush(pictureBackground.darker(125));
    painter.drawEllipse(centre, 13, 13);
    QRadialGradient light(QPointF(12.5, 12.5), 13);
    light.setColorAt(0, colors.face.lighter(135));
    light.setColorAt(0.55, colors.face);
    light.setColorAt(1, colors.rim);
    painter.setPen(QPen(colors.rim, 1));
    painter.setBrush(light);
    painter.drawEllipse(centre, 10.5, 10.5);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 255, 255, 170));
    painter.drawEllipse(QPointF(12.5, 11.5), 4, 3);
    painter.end();
    return QPixmap::fromImage(image);
}

QIcon programIcon() {
    // The icon lives in this library's resources, which a program linking it statically has to
    // register itself.
    static const bool registered = [] {
        Q_INIT_RESOURCE(pictures);
        return true;
    }();
    (void)registered;
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/veltrace-48.png"), QSize(48, 48));
    icon.addFile(QStringLiteral(":/icons/veltrace-128.png"), QSize(128, 128));
    return icon;
}
