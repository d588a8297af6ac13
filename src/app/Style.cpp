#include "app/Style.h"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>

// The resources live in a static library, so nothing would pull them in
// without an explicit reference.
static void InitOrvaneResources() {
    static const bool Done = [] {
        Q_INIT_RESOURCE(orvane);
        return true;
    }();
    (void)Done;
}

QString OrvaneStyleSheet() {
    InitOrvaneResources();
    QFile File(QStringLiteral(":/orvane/style.qss"));
    if (!File.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(File.readAll());
}

QPixmap OrvaneLogo(int ASize, qreal ADevicePixelRatio) {
    InitOrvaneResources();
    QSvgRenderer Renderer(QStringLiteral(":/orvane/logo.svg"));
    const int Pixels = qRound(ASize * ADevicePixelRatio);
    QPixmap Pixmap(Pixels, Pixels);
    Pixmap.fill(Qt::transparent);
    {
        QPainter Painter(&Pixmap);
        Painter.setRenderHint(QPainter::Antialiasing);
        Renderer.render(&Painter);
    }
    Pixmap.setDevicePixelRatio(ADevicePixelRatio);
    return Pixmap;
}
