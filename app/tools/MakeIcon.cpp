// Paints the program icon (the shapes of app/trelvo.svg) into a PNG, since
// this Qt has no SVG renderer. Usage: trelvo_make_icon OUT.png [SIZE]
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPolygonF>

#include <cstdio>

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUT.png [SIZE]\n", argv[0]);
        return 2;
    }
    const int nSize = argc > 2 ? std::atoi(argv[2]) : 256;
    QImage image(nSize, nSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(nSize / 64.0, nSize / 64.0);
    painter.setPen(Qt::NoPen);

    const QColor blue(0x2b, 0x57, 0x97);
    painter.setBrush(blue);
    painter.drawRoundedRect(QRectF(4, 4, 56, 56), 10, 10);
    painter.setBrush(QColor(0xf2, 0xf2, 0xf2));
    painter.drawRect(QRectF(10, 16, 22, 32));
    painter.setBrush(QColor(0x6f, 0xa8, 0xdc));
    painter.drawRect(QRectF(16, 20, 10, 24));
    painter.setBrush(blue);
    for (double x : {11.5, 27.5}) {
        for (double y : {19.0, 26.0, 33.0, 40.0}) painter.drawRect(QRectF(x, y, 3, 4));
    }
    painter.setBrush(QColor(0xf7, 0xa2, 0x1b));
    const QPolygonF arrow({{35, 27}, {43, 27}, {43, 21}, {54, 32}, {43, 43}, {43, 37}, {35, 37}});
    painter.drawPolygon(arrow);
    painter.end();
    return image.save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
