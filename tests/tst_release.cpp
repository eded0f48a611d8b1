// The files a release is made of: the application icon (and that it is what makeicon draws), the
// Windows resource script, the version the program reports and the window's own icon (none: it
// comes from the desktop entry).

#include "mainwindow.h"

#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

namespace {

const QString kResources = QStringLiteral(BOOTLOADER_RESOURCES_DIR);
const QByteArray kPngSignature("\x89PNG\r\n\x1a\n", 8);

QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

quint16 u16(const QByteArray &bytes, int at) {
    return qFromLittleEndian<quint16>(bytes.constData() + at);
}

quint32 u32(const QByteArray &bytes, int at) {
    return qFromLittleEndian<quint32>(bytes.constData() + at);
}

struct IconEntry {
    int width;
    int height;
    int colours;
    int planes;
    int bitsPerPixel;
    quint32 size;
    quint32 offset;
};

// The directory of an .ico file; empty when the header is not an icon header or an entry does not
// lie within the file.
QList<IconEntry> iconDirectory(const QByteArray &ico) {
    QList<IconEntry> entries;
    if (ico.size() < 6 || u16(ico, 0) != 0 || u16(ico, 2) != 1)
        return entries;
    const int count = u16(ico, 4);
    if (ico.size() < 6 + 16 * count)
        return entries;
    for (int i = 0; i < count; ++i) {
        const int at = 6 + 16 * i;
        const auto dimension = [&](int offset) {
            const int value = quint8(ico.at(at + offset));
            return value == 0 ? 256 : value;
        };
        IconEntry entry{dimension(0),     dimension(1),     quint8(ico.at(at + 2)),
                        u16(ico, at + 4), u16(ico, at + 6), u32(ico, at + 8),
                        u32(ico, at + 12)};
        if (quint64(entry.offset) + entry.size > quint64(ico.size()))
            return {};
        entries.append(entry);
    }
    return entries;
}

// A 32-bit icon bitmap: BITMAPINFOHEADER, colours bottom-up as BGRA, then the 1-bit AND mask.
// Returns a null image when the header is not that of a size x size, 32-bit, uncompressed image.
QImage decodeIconBitmap(const QByteArray &data, int size, QString *maskMismatch) {
    const int maskStride = ((size + 31) / 32) * 4;
    if (data.size() != 40 + size * size * 4 + maskStride * size || u32(data, 0) != 40 ||
        int(u32(data, 4)) != size || int(u32(data, 8)) != 2 * size || u16(data, 12) != 1 ||
        u16(data, 14) != 32 || u32(data, 16) != 0)
        return QImage();
    QImage image(size, size, QImage::Format_ARGB32);
    const int colours = 40;
    const int mask = colours + size * size * 4;
    for (int row = 0; row < size; ++row) {
        const int y = size - 1 - row;
        for (int x = 0; x < size; ++x) {
            const QRgb pixel = u32(data, colours + (row * size + x) * 4);
            image.setPixel(x, y, pixel);
            const bool masked =
                quint8(data.at(mask + row * maskStride + x / 8)) & (0x80 >> (x % 8));
            if (masked != (qAlpha(pixel) == 0) && maskMismatch->isEmpty())
                *maskMismatch = QStringLiteral("mask disagrees with alpha at %1,%2").arg(x).arg(y);
        }
    }
    return image;
}

int alphaAt(const QImage &image, int x, int y) {
    return qAlpha(image.pixel(x, y));
}

} // namespace

class TestRelease : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void iconHasFourEntries();
    void iconEntry_data();
    void iconEntry();
    void iconImagesDoNotOverlap();
    void themeImageMatchesIcon_data();
    void themeImageMatchesIcon();
    void iconIsWhatItsSourceDraws_data();
    void iconIsWhatItsSourceDraws();
    void resourceScript_data();
    void resourceScript();
    void windowSetsNoIcon();

private:
    QTemporaryDir m_redrawn;
    QByteArray m_ico;
    QList<IconEntry> m_entries;
    QString m_script;
};

void TestRelease::initTestCase() {
    m_ico = readFile(kResources + QStringLiteral("/bootloader.ico"));
    QVERIFY(!m_ico.isEmpty());
    m_entries = iconDirectory(m_ico);
    m_script = QString::fromUtf8(readFile(QStringLiteral(BOOTLOADER_RC_FILE)));
    QVERIFY(!m_script.isEmpty());

    QVERIFY(m_redrawn.isValid());
    QProcess makeicon;
    makeicon.start(QStringLiteral(BOOTLOADER_MAKEICON), {m_redrawn.path()});
    QVERIFY(makeicon.waitForFinished(30000));
    QCOMPARE(makeicon.exitCode(), 0);
}

void TestRelease::iconHasFourEntries() {
    QCOMPARE(int(m_entries.size()), 4);
}

void TestRelease::iconEntry_data() {
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("png");

    QTest::newRow("256x256") << 0 << 256 << true;
    QTest::newRow("48x48") << 1 << 48 << false;
    QTest::newRow("32x32") << 2 << 32 << false;
    QTest::newRow("16x16") << 3 << 16 << false;
}

void TestRelease::iconEntry() {
    QFETCH(int, index);
    QFETCH(int, size);
    QFETCH(bool, png);

    QVERIFY(index < m_entries.size());
    const IconEntry entry = m_entries[index];
    QCOMPARE(entry.width, size);
    QCOMPARE(entry.height, size);
    QCOMPARE(entry.colours, 0);
    QCOMPARE(entry.planes, 1);
    QCOMPARE(entry.bitsPerPixel, 32);
    QVERIFY(entry.offset >= quint32(6 + 16 * m_entries.size()));

    const QByteArray data = m_ico.mid(entry.offset, entry.size);
    QCOMPARE(data.startsWith(kPngSignature), png);
    QImage image;
    QString maskMismatch;
    if (png)
        image = QImage::fromData(data, "PNG");
    else
        image = decodeIconBitmap(data, size, &maskMismatch);
    QVERIFY(!image.isNull());
    QCOMPARE(image.size(), QSize(size, size));
    QVERIFY(image.hasAlphaChannel());
    QCOMPARE(maskMismatch, QString());
    // Drawn on a transparent square: clear corners, solid centre.
    QCOMPARE(alphaAt(image, 0, size - 1), 0);
    QCOMPARE(alphaAt(image, size - 1, size - 1), 0);
    QCOMPARE(alphaAt(image, size / 2, size / 2), 255);
}

void TestRelease::iconImagesDoNotOverlap() {
    QVERIFY(!m_entries.isEmpty());
    QList<IconEntry> byOffset = m_entries;
    std::sort(byOffset.begin(), byOffset.end(),
              [](const IconEntry &a, const IconEntry &b) { return a.offset < b.offset; });
    for (int i = 1; i < byOffset.size(); ++i)
        QVERIFY(byOffset[i - 1].offset + byOffset[i - 1].size <= byOffset[i].offset);
}

void TestRelease::themeImageMatchesIcon_data() {
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("size");

    QTest::newRow("256x256") << 0 << 256;
    QTest::newRow("48x48") << 1 << 48;
    QTest::newRow("32x32") << 2 << 32;
    QTest::newRow("16x16") << 3 << 16;
}

// The PNGs installed into the icon theme and the images in the .ico are the same drawing, so
// the program looks alike wherever it is shown; a bitmap stored top-down shows up here too.
void TestRelease::themeImageMatchesIcon() {
    QFETCH(int, index);
    QFETCH(int, size);

    const QImage theme(kResources + QStringLiteral("/bootloader-%1.png").arg(size));
    QCOMPARE(theme.size(), QSize(size, size));
    QVERIFY(index < m_entries.size());
    const IconEntry entry = m_entries[index];
    const QByteArray data = m_ico.mid(entry.offset, entry.size);
    QString maskMismatch;
    const QImage inIcon = data.startsWith(kPngSignature)
                              ? QImage::fromData(data, "PNG")
                              : decodeIconBitmap(data, size, &maskMismatch);
    QCOMPARE(inIcon.convertToFormat(QImage::Format_ARGB32),
             theme.convertToFormat(QImage::Format_ARGB32));
}

void TestRelease::iconIsWhatItsSourceDraws_data() {
    QTest::addColumn<QString>("name");

    for (int size : {256, 48, 32, 16})
        QTest::newRow(qPrintable(QString::number(size)))
            << QStringLiteral("bootloader-%1.png").arg(size);
    QTest::newRow("ico") << QStringLiteral("bootloader.ico");
}

// The committed files are makeicon's output: a change to the drawing that was not rerun (or a
// file edited by hand) shows up here. Images are compared as pixels, the .ico by its directory
// and bitmaps, so another zlib compressing the PNGs differently does not matter.
void TestRelease::iconIsWhatItsSourceDraws() {
    QFETCH(QString, name);

    const QString redrawn = m_redrawn.filePath(name);
    if (name.endsWith(QLatin1String(".png"))) {
        const QImage committed(kResources + QLatin1Char('/') + name);
        QVERIFY(!committed.isNull());
        QCOMPARE(QImage(redrawn).convertToFormat(QImage::Format_ARGB32),
                 committed.convertToFormat(QImage::Format_ARGB32));
        return;
    }
    const QByteArray ico = readFile(redrawn);
    const QList<IconEntry> entries = iconDirectory(ico);
    QCOMPARE(int(entries.size()), int(m_entries.size()));
    for (int i = 0; i < entries.size(); ++i) {
        QCOMPARE(entries[i].width, m_entries[i].width);
        QCOMPARE(entries[i].bitsPerPixel, m_entries[i].bitsPerPixel);
        const QByteArray mine = ico.mid(entries[i].offset, entries[i].size);
        const QByteArray theirs = m_ico.mid(m_entries[i].offset, m_entries[i].size);
        if (mine.startsWith(kPngSignature))
            QCOMPARE(QImage::fromData(mine, "PNG"), QImage::fromData(theirs, "PNG"));
        else
            QCOMPARE(mine, theirs);
    }
}

void TestRelease::resourceScript_data() {
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("expected");

    const QString version = QStringLiteral(BOOTLOADER_EXPECTED_VERSION);
    const QString commas = QString(version).replace('.', ',');
    QTest::newRow("icon") << R"re(^IDI_ICON1\s+ICON\s+"([^"]+)")re"
                          << QStringLiteral(BOOTLOADER_ICON_FILE);
    QTest::newRow("FILEVERSION") << R"(^FILEVERSION\s+(\S+))" << commas;
    QTest::newRow("PRODUCTVERSION") << R"(^PRODUCTVERSION\s+(\S+))" << commas;
    QTest::newRow("FileVersion") << R"re(VALUE "FileVersion", "([^"\\]*))re" << version;
    QTest::newRow("ProductVersion") << R"re(VALUE "ProductVersion", "([^"\\]*))re" << version;
    QTest::newRow("OriginalFilename")
        << R"re(VALUE "OriginalFilename", "([^"\\]*))re" << QStringLiteral("bootloader.exe");
}

void TestRelease::resourceScript() {
    QFETCH(QString, pattern);
    QFETCH(QString, expected);

    const QRegularExpression re(pattern, QRegularExpression::MultilineOption);
    QVERIFY(re.isValid());
    auto matches = re.globalMatch(m_script);
    QVERIFY(matches.hasNext());
    QCOMPARE(matches.next().captured(1), expected);
    QVERIFY2(!matches.hasNext(), "given more than once");
}

void TestRelease::windowSetsNoIcon() {
    MainWindow window;
    window.show();
    QVERIFY(window.windowIcon().isNull());
}

QTEST_MAIN(TestRelease)
#include "tst_release.moc"
