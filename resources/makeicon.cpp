// Draws the application icon, a chip with an arrow pointing into it, and writes it out as
//   bootloader-N.png   for N = 16, 32, 48 and 256 (the hicolor theme sizes that are installed)
//   bootloader.ico     the same four images: 256x256 stored as PNG, the others as 32-bit bitmaps
// into the directory given as the only argument. Built on demand: `cmake --build BUILD --target
// icon` rewrites the files in resources/.

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QRectF>
#include <QVector>
#include <QtEndian>

#include <cmath>
#include <cstdio>

namespace {

const int kSizes[] = {256, 48, 32, 16};

const QColor kPin(0xb0, 0xbe, 0xc5);
const QColor kPinEdge(0x78, 0x90, 0x9c);
const QColor kBody(0x26, 0x32, 0x38);
const QColor kBodyEdge(0x10, 0x16, 0x19);
const QColor kArrow(0x4c, 0xaf, 0x50);
const QColor kArrowEdge(0x2e, 0x7d, 0x32);

int px(double v) {
    return int(std::lround(v));
}

// Each size is laid out on whole pixels so the small images stay sharp.
QImage draw(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    const double s = size;
    const int pinStart = size <= 16 ? 1 : px(s * 0.07);
    const int bodyStart = size <= 16 ? 3 : px(s * 0.19);
    const int bodyEnd = size - bodyStart;
    const int body = bodyEnd - bodyStart;
    const int pins = size <= 16 ? 2 : size <= 32 ? 3 : 4;
    const int pinWidth = std::max(1, px(body / (2.0 * pins + 1)));
    // Outlines and the pin 1 mark only where they are more than a blur.
    const bool detailed = size >= 128;
    const double edge = detailed ? s / 128.0 : 0;

    // Pins on all four sides, under the body.
    p.setPen(Qt::NoPen);
    for (int i = 0; i < pins; ++i) {
        const int at = bodyStart + px((i + 0.5) * body / pins - pinWidth / 2.0);
        const int length = bodyStart - pinStart + 1;
        const QRect rects[] = {{at, pinStart, pinWidth, length},
                               {at, bodyEnd - 1, pinWidth, length},
                               {pinStart, at, length, pinWidth},
                               {bodyEnd - 1, at, length, pinWidth}};
        for (const QRect &r : rects) {
            p.setBrush(edge > 0 ? kPinEdge : kPin);
            p.drawRect(r);
            if (edge > 0) {
                p.setBrush(kPin);
                p.drawRect(QRectF(r).adjusted(edge, edge, -edge, -edge));
            }
        }
    }

    // The body, with a mark for pin 1 where there is room for it.
    const QRectF bodyRect(bodyStart, bodyStart, body, body);
    const double radius = size <= 16 ? 0 : s * 0.05;
    if (edge > 0) {
        p.setBrush(kBodyEdge);
        p.drawRoundedRect(bodyRect, radius, radius);
    }
    p.setBrush(kBody);
    p.drawRoundedRect(bodyRect.adjusted(edge, edge, -edge, -edge), radius, radius);
    if (detailed) {
        const double dot = body * 0.1;
        p.setBrush(QColor(0x45, 0x5a, 0x64));
        p.drawEllipse(QRectF(bodyStart + body * 0.1, bodyStart + body * 0.1, dot, dot));
    }

    // The arrow: from above the chip down into its face. At 16x16 it is set pixel by pixel: a shaft
    // two pixels wide and a head of rows 6, 4 and 2 pixels wide.
    p.setBrush(kArrow);
    if (size <= 16) {
        p.drawRect(7, 0, 2, 8);
        p.drawRect(5, 8, 6, 1);
        p.drawRect(6, 9, 4, 1);
        p.drawRect(7, 10, 2, 1);
        p.end();
        return image.convertToFormat(QImage::Format_ARGB32);
    }
    const double centre = s / 2.0;
    const double shaft = std::round(body * 0.2);
    const double head = std::round(body * 0.62);
    const double top = std::round(s * 0.02);
    const double tip = std::round(bodyEnd - body * 0.14);
    const double neck = std::round(tip - head / 2.0 - body * 0.02);
    QPainterPath arrow;
    arrow.moveTo(centre - shaft / 2, top);
    arrow.lineTo(centre + shaft / 2, top);
    arrow.lineTo(centre + shaft / 2, neck);
    arrow.lineTo(centre + head / 2, neck);
    arrow.lineTo(centre, tip);
    arrow.lineTo(centre - head / 2, neck);
    arrow.lineTo(centre - shaft / 2, neck);
    arrow.closeSubpath();
    if (edge > 0)
        p.setPen(QPen(kArrowEdge, 2 * edge, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    p.drawPath(arrow);
    p.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

void put16(QByteArray &out, quint16 v) {
    v = qToLittleEndian(v);
    out.append(reinterpret_cast<const char *>(&v), 2);
}

void put32(QByteArray &out, quint32 v) {
    v = qToLittleEndian(v);
    out.append(reinterpret_cast<const char *>(&v), 4);
}

QByteArray png(const QImage &image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// A 32-bit icon bitmap: header (height doubled for the mask), colours bottom-up in BGRA, then the
// 1-bit AND mask with a set bit for every fully transparent pixel.
QByteArray iconBitmap(const QImage &image) {
    const int w = image.width();
    const int h = image.height();
    const int maskStride = ((w + 31) / 32) * 4;
    QByteArray out;
    put32(out, 40);
    put32(out, quint32(w));
    put32(out, quint32(2 * h));
    put16(out, 1);
    put16(out, 32);
    put32(out, 0);
    put32(out, quint32(w * h * 4 + maskStride * h));
    for (int i = 0; i < 4; ++i)
        put32(out, 0);
    for (int y = h - 1; y >= 0; --y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < w; ++x)
            put32(out, line[x]); // 0xAARRGGBB, little-endian: B, G, R, A
    }
    for (int y = h - 1; y >= 0; --y) {
        QByteArray row(maskStride, '\0');
        for (int x = 0; x < w; ++x) {
            if (qAlpha(image.pixel(x, y)) == 0)
                row[x / 8] = char(row[x / 8] | (0x80 >> (x % 8)));
        }
        out += row;
    }
    return out;
}

bool writeFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIRECTORY\n", argv[0]);
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));

    QVector<QByteArray> entries;
    for (int size : kSizes) {
        const QImage image = draw(size);
        const QByteArray pngBytes = png(image);
        if (!writeFile(dir.filePath(QStringLiteral("bootloader-%1.png").arg(size)), pngBytes))
            return 1;
        entries.append(size >= 256 ? pngBytes : iconBitmap(image));
    }

    QByteArray ico;
    put16(ico, 0);
    put16(ico, 1);
    put16(ico, quint16(entries.size()));
    quint32 offset = 6 + 16 * quint32(entries.size());
    for (int i = 0; i < entries.size(); ++i) {
        const int size = kSizes[i];
        ico.append(char(size >= 256 ? 0 : size)); // 0 stands for 256
        ico.append(char(size >= 256 ? 0 : size));
        ico.append(char(0)); // no palette
        ico.append(char(0));
        put16(ico, 1);  // planes
        put16(ico, 32); // bits per pixel
        put32(ico, quint32(entries[i].size()));
        put32(ico, offset);
        offset += quint32(entries[i].size());
    }
    for (const QByteArray &entry : entries)
        ico += entry;
    return writeFile(dir.filePath(QStringLiteral("bootloader.ico")), ico) ? 0 : 1;
}
