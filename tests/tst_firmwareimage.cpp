#include "firmwareimage.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QFile>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using transfer::ImageCause;
using transfer::Outcome;
using transfer::RecordList;

Q_DECLARE_METATYPE(transfer::RecordList)

class TestFirmwareImage : public QObject {
    Q_OBJECT

private slots:
    void splitsRecords_data();
    void splitsRecords();
    void splitsLargeImage();
    void loadsAndLogsRecordCount_data();
    void loadsAndLogsRecordCount();
    void refusesPaths_data();
    void refusesPaths();
    void refusesFifoWithoutBlocking();
    void refusesImageTooLargeForOneArray();
    void followsLinkToRegularFile();
    void summarisesImage_data();
    void summarisesImage();
};

void TestFirmwareImage::splitsRecords_data() {
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<RecordList>("records");

    QTest::newRow("two records") << QByteArray("{ab}{cd}") << RecordList{"{ab}", "{cd}"};
    QTest::newRow("unclosed last record ignored")
        << QByteArray("xx{ab}yy{cd") << RecordList{"{ab}"};
    QTest::newRow("nested opening brace belongs to record")
        << QByteArray("{a{b}") << RecordList{"{a{b}"};
    QTest::newRow("stray closing braces skipped") << QByteArray("}}{x}") << RecordList{"{x}"};
    QTest::newRow("no braces") << QByteArray("hello") << RecordList{};
    QTest::newRow("only closing braces") << QByteArray("}}}") << RecordList{};
    QTest::newRow("only an opening brace") << QByteArray("{") << RecordList{};
    QTest::newRow("empty record") << QByteArray("{}") << RecordList{"{}"};
    QTest::newRow("binary bytes kept as they are")
        << QByteArray("\x00{\x00\xff\n}\x00", 7) << RecordList{QByteArray("{\x00\xff\n}", 5)};
    QTest::newRow("closing brace directly followed by opening")
        << QByteArray("{a}}{b}") << RecordList{"{a}", "{b}"};
    QTest::newRow("trailing bytes after last record") << QByteArray("{a}zz}") << RecordList{"{a}"};
}

void TestFirmwareImage::splitsRecords() {
    QFETCH(QByteArray, image);
    QFETCH(RecordList, records);
    QCOMPARE(transfer::splitRecords(image), records);
}

void TestFirmwareImage::splitsLargeImage() {
    // 8 MiB of 1 KiB records with filler between them: every record found, in order.
    const int count = 8192;
    QByteArray image;
    image.reserve(count * 1030);
    for (int i = 0; i < count; ++i) {
        QByteArray body = QByteArray::number(i).rightJustified(8, '0');
        body = body.repeated(127);
        image += "..{" + body.left(1016) + "}\r\n";
    }
    const RecordList records = transfer::splitRecords(image);
    QCOMPARE(records.size(), count);
    QCOMPARE(records.first().size(), 1018);
    QVERIFY(records.last().startsWith("{0000" + QByteArray::number(count - 1)));
}

void TestFirmwareImage::loadsAndLogsRecordCount_data() {
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("refused");

    QTest::newRow("three records") << QByteArray("{1}{2}{3}") << 3 << false;
    QTest::newRow("no opening brace") << QByteArray("abc}") << 0 << true;
    QTest::newRow("unclosed only") << QByteArray("{abc") << 0 << true;
    QTest::newRow("only stray closing braces") << QByteArray("}}}\n}") << 0 << true;
}

void TestFirmwareImage::loadsAndLogsRecordCount() {
    QFETCH(QByteArray, contents);
    QFETCH(int, count);
    QFETCH(bool, refused);

    testsupport::TempFiles files;
    const QString path = files.write("image.bin", contents);
    testsupport::LogCapture log;
    const transfer::LoadedImage image = transfer::loadImage(path);

    QCOMPARE(image.records.size(), count);
    QCOMPARE(image.refusal.has_value(), refused);
    if (refused)
        QCOMPARE(*image.refusal, Outcome::FirmwareNotFound);
    // The count is streamed after the text, so the debug stream puts two spaces between them.
    QCOMPARE(log.debugLines(), QStringList{QStringLiteral("Num records:  %1").arg(count)});
    QVERIFY(!log.entries().first().hasContext);
}

void TestFirmwareImage::refusesPaths_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<int>("cause");

    const int notOpen = int(Outcome::FileNotOpen);
    QTest::newRow("empty path") << QString() << notOpen << int(ImageCause::NoSuchFile);
    QTest::newRow("missing file") << "missing.bin" << notOpen << int(ImageCause::NoSuchFile);
    QTest::newRow("below a file") << "empty.bin/x" << notOpen << int(ImageCause::NoSuchFile);
    QTest::newRow("directory") << "dir" << notOpen << int(ImageCause::NotRegularFile);
    QTest::newRow("endless device") << "/dev/zero" << notOpen << int(ImageCause::NotRegularFile);
    QTest::newRow("empty file") << "empty.bin" << int(Outcome::FileEmpty) << int(ImageCause::Empty);
    // Said as the system says it ("too many levels of symbolic links"), not as missing.
    QTest::newRow("link loop") << "loop.bin" << notOpen << int(ImageCause::ReadError);
}

void TestFirmwareImage::refusesPaths() {
    QFETCH(QString, name);
    QFETCH(int, outcome);
    QFETCH(int, cause);

    testsupport::TempFiles files;
    files.write("empty.bin", QByteArray());
    QVERIFY(QDir(files.path(QString())).mkpath("dir"));
    QVERIFY(QFile::link(files.path("loop.bin"), files.path("loop.bin")));
    const QString path = name.isEmpty() || name.startsWith('/') ? name : files.path(name);

    testsupport::LogCapture log;
    const transfer::LoadedImage image = transfer::loadImage(path);
    QVERIFY(image.refusal.has_value());
    QCOMPARE(int(*image.refusal), outcome);
    QCOMPARE(int(image.cause.kind), cause);
    QVERIFY(image.records.isEmpty());
    // Refused before splitting: no record count is logged.
    QVERIFY(log.debugLines().isEmpty());
}

void TestFirmwareImage::refusesFifoWithoutBlocking() {
    testsupport::TempFiles files;
    const QString fifo = files.path("pipe.bin");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    // Opening a FIFO with no writer would block forever; the refusal must come first.
    const transfer::LoadedImage image = transfer::loadImage(fifo);
    QCOMPARE(image.refusal, std::optional<Outcome>(Outcome::FileNotOpen));
    QCOMPARE(image.cause.kind, ImageCause::NotRegularFile);
    QCOMPARE(transfer::scanImage(fifo).cause.kind, ImageCause::NotRegularFile);
}

void TestFirmwareImage::refusesImageTooLargeForOneArray() {
    testsupport::TempFiles files;
    const QString path = files.write("huge.bin", "{x}");
    // Sparse: takes no disk space and must never be read.
    QFile file(path);
    QVERIFY(file.resize(qint64(3) << 30));

    testsupport::LogCapture log;
    const transfer::LoadedImage image = transfer::loadImage(path);
    QCOMPARE(image.refusal, std::optional<Outcome>(Outcome::FileNotOpen));
    QCOMPARE(image.cause.kind, ImageCause::TooLarge);
    QCOMPARE(image.cause.size, qint64(3) << 30);
    QCOMPARE(log.debugLines(), QStringList{QStringLiteral("Image too large: 3221225472")});
}

// What an image holds, counted as it is read: the same whether the bytes come whole or in
// pieces that cut records anywhere, and what 'info' and the benchmark report.
void TestFirmwareImage::summarisesImage_data() {
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<int>("records");
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<qint64>("smallest");
    QTest::addColumn<qint64>("largest");
    QTest::addColumn<qint64>("outside");
    QTest::addColumn<qint64>("unclosed");

    QTest::newRow("records with filler") << QByteArray("xx{ab}yy{cde}") << 2 << qint64(9)
                                         << qint64(4) << qint64(5) << qint64(4) << qint64(0);
    QTest::newRow("unclosed tail") << QByteArray("}{a{b}zz{cd") << 1 << qint64(5) << qint64(5)
                                   << qint64(5) << qint64(6) << qint64(3);
    QTest::newRow("empty records") << QByteArray("{}{}{}") << 3 << qint64(6) << qint64(2)
                                   << qint64(2) << qint64(0) << qint64(0);
    QTest::newRow("no record") << QByteArray("abc{") << 0 << qint64(0) << qint64(0) << qint64(0)
                               << qint64(4) << qint64(1);
}

void TestFirmwareImage::summarisesImage() {
    QFETCH(QByteArray, image);
    QFETCH(int, records);
    QFETCH(qint64, bytes);
    QFETCH(qint64, smallest);
    QFETCH(qint64, largest);
    QFETCH(qint64, outside);
    QFETCH(qint64, unclosed);

    const RecordList expected = transfer::splitRecords(image);
    const QByteArray sha256 =
        QCryptographicHash::hash(expected.join(), QCryptographicHash::Sha256).toHex();
    for (int piece = 1; piece <= image.size(); ++piece) {
        transfer::RecordScanner scanner;
        RecordList found;
        for (int at = 0; at < image.size(); at += piece)
            scanner.feed(image.mid(at, piece), &found);
        const transfer::ImageSummary summary = scanner.summary();
        QCOMPARE(found, expected);
        QCOMPARE(summary.records, records);
        QCOMPARE(summary.bytes, bytes);
        QCOMPARE(summary.smallest, smallest);
        QCOMPARE(summary.largest, largest);
        QCOMPARE(summary.outside, outside);
        QCOMPARE(summary.unclosed, unclosed);
        QCOMPARE(summary.sha256, sha256);
    }
    // From a file, loaded whole and scanned in pieces alike.
    testsupport::TempFiles files;
    const QString path = files.write("image.bin", image);
    testsupport::LogCapture quiet;
    QCOMPARE(transfer::loadImage(path).summary.sha256, sha256);
    QCOMPARE(transfer::scanImage(path).summary.records, records);
}

void TestFirmwareImage::followsLinkToRegularFile() {
    testsupport::TempFiles files;
    const QString target = files.write("real.bin", "{a}{b}");
    const QString link = files.path("link.bin");
    QVERIFY(QFile::link(target, link));
    const transfer::LoadedImage image = transfer::loadImage(link);
    QVERIFY(!image.refusal);
    QCOMPARE(image.records, (RecordList{"{a}", "{b}"}));
}

QTEST_GUILESS_MAIN(TestFirmwareImage)
#include "tst_firmwareimage.moc"
