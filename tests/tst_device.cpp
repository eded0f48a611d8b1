#include "device.h"
#include "firmwareimage.h"
#include "seriallink.h"
#include "simdevice.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QSignalSpy>
#include <QtTest>

using sim::SimDevice;
using transfer::Device;
using transfer::Outcome;
using Reply = SimDevice::Reply;

Q_DECLARE_METATYPE(sim::SimDevice::Chunk)

namespace {

const transfer::Timing kQuick = testsupport::quickTiming();

// Replies used by the device scripts below.
const QByteArray kAck = SimDevice::acknowledgement();
const QByteArray kNonZeroMiddle("A\x01K", 3);

QByteArray hex(const QByteArray &bytes) {
    return '"' + bytes.toHex() + '"';
}

// Builds an image of count records with filler between them.
QByteArray makeImage(int count, QList<QByteArray> *records = nullptr) {
    QByteArray image = "header\n";
    for (int i = 0; i < count; ++i) {
        const QByteArray record =
            "{" + QByteArray::number(i) + ":" + QByteArray(8, char('a' + i % 26)) + "}";
        if (records)
            records->append(record);
        image += record + "\r\n";
    }
    return image;
}

// Whether another program could open the port right now.
bool portIsFree(const QString &name) {
    QSerialPort probe;
    return transfer::openLink(probe, name);
}

} // namespace

class TestDevice : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<transfer::Outcome>(); }

    void progressCounter_data();
    void progressCounter();

    void deliversImage_data();
    void deliversImage();
    void logsEachSendAndAcknowledgement();
    void resendsAfterRefusedReply_data();
    void resendsAfterRefusedReply();
    void silentDeviceGetsFiveSends();
    void failureStopsAtRecordAndKeepsProgress();
    void surplusReplyAfterAcknowledgement_data();
    void surplusReplyAfterAcknowledgement();
    void deviceAlwaysLateNeverLoads();
    void vanishingDeviceEndsUpload();
    void floodingDeviceEndsUpload();
    void portGoneBeforeUpload();
    void portHeldDuringReportThenFreed();
    void unfinishedRecordDroppedAfterIdleLine();

    void bootloaderConfirmation_data();
    void bootloaderConfirmation();
    void silentDeviceGetsThreeCommands();
    void vanishingDeviceEndsBootloaderEntry();
};

void TestDevice::progressCounter_data() {
    QTest::addColumn<int>("records");
    QTest::addColumn<QList<int>>("shown");

    QTest::newRow("one") << 1 << QList<int>{100};
    QTest::newRow("three stop short of 100") << 3 << QList<int>{33, 66, 99};
    QTest::newRow("ten") << 10 << QList<int>{10, 20, 30, 40, 50, 60, 70, 80, 90, 100};
    QTest::newRow("seven") << 7 << QList<int>{14, 28, 42, 57, 71, 85, 100};
    QList<int> many;
    for (int i = 0; i < 12; ++i)
        many << i;
    QTest::newRow("101: below one per record") << 101 << many;
}

void TestDevice::progressCounter() {
    QFETCH(int, records);
    QFETCH(QList<int>, shown);
    transfer::ProgressCounter counter(records);
    QList<int> values;
    int last = 0;
    for (int i = 0; i < records; ++i) {
        const int value = counter.advance();
        QVERIFY(value >= last && value - last <= 100 / records + 1);
        last = value;
        if (values.size() < shown.size())
            values << value;
    }
    QCOMPARE(values, shown);
    if (records == 101)
        QCOMPARE(last, 99);
}

void TestDevice::deliversImage_data() {
    QTest::addColumn<int>("records");
    QTest::addColumn<QString>("style");
    QTest::addColumn<QList<int>>("progress");

    const QList<int> three{0, 33, 66, 99, 100};
    QTest::newRow("one record, immediate") << 1 << "immediate" << QList<int>{0, 100, 100};
    QTest::newRow("immediate") << 3 << "immediate" << three;
    QTest::newRow("split in two reads") << 3 << "split" << three;
    QTest::newRow("one byte at a time") << 3 << "bytewise" << three;
    QTest::newRow("delayed within time-out") << 3 << "delayed" << three;
    QTest::newRow("paced at 115200 baud") << 3 << "paced" << three;
}

void TestDevice::deliversImage() {
    QFETCH(int, records);
    QFETCH(QString, style);
    QFETCH(QList<int>, progress);

    SimDevice device;
    QVERIFY(device.start());
    if (style == "split") {
        device.setResponder([](const SimDevice::Received &) { return SimDevice::split(kAck); });
    } else if (style == "bytewise") {
        device.setResponder([](const SimDevice::Received &) {
            return Reply{{0, kAck.left(1)}, {40, kAck.mid(1, 1)}, {40, kAck.mid(2)}};
        });
    } else if (style == "delayed") {
        device.setResponder([](const SimDevice::Received &) { return Reply{{700, kAck}}; });
    } else if (style == "paced") {
        device.setPacing(115200);
    }

    QList<QByteArray> expected;
    testsupport::TempFiles files;
    const QString path = files.write("image.bin", makeImage(records, &expected));

    Device upload;
    QSignalSpy progressSpy(&upload, &Device::progressChanged);
    QSignalSpy reportSpy(&upload, &Device::reported);
    QCOMPARE(upload.upload(path, device.portName()), Outcome::FirmwareLoaded);

    QCOMPARE(reportSpy.size(), 1);
    QCOMPARE(reportSpy[0][0].value<Outcome>(), Outcome::FirmwareLoaded);
    QList<int> values;
    for (const auto &args : progressSpy)
        values << args[0].toInt();
    QCOMPARE(values, progress);
    // Every record exactly once, in order, and not one byte besides.
    QCOMPARE(device.records(), expected);
    QCOMPARE(device.receivedBytes(), expected.join());
    QVERIFY(portIsFree(device.portName()));
}

void TestDevice::logsEachSendAndAcknowledgement() {
    SimDevice device;
    QVERIFY(device.start());
    device.setResponder([](const SimDevice::Received &message) {
        return message.index == 1 ? Reply{{0, "no"}} : SimDevice::defaultReply(message);
    });
    testsupport::TempFiles files;
    const QString path = files.write("image.bin", "{a}{bc}");

    testsupport::LogCapture log;
    Device upload;
    upload.setTiming(kQuick);
    QCOMPARE(upload.upload(path, device.portName()), Outcome::FirmwareLoaded);
    QCOMPARE(log.debugLines(), (QStringList{"Num records:  2", hex("{a}"), "5", hex("{bc}"),
                                            hex("no"), hex("{bc}"), "4"}));
    for (const auto &entry : log.entries())
        QVERIFY(!entry.hasContext);
}

void TestDevice::resendsAfterRefusedReply_data() {
    QTest::addColumn<QByteArray>("refusal");
    QTest::newRow("non-zero middle byte") << kNonZeroMiddle;
    QTest::newRow("two bytes") << QByteArray("A\0", 2);
    QTest::newRow("four bytes") << QByteArray("A\0KK", 4);
    QTest::newRow("one zero byte") << QByteArray(1, '\0');
    QTest::newRow("four bytes split") << QByteArray("A\0K!", 4);
}

void TestDevice::resendsAfterRefusedReply() {
    QFETCH(QByteArray, refusal);
    const bool split = QByteArray(QTest::currentDataTag()).endsWith("split");

    SimDevice device;
    QVERIFY(device.start());
    // The first send of each record is refused, the second acknowledged.
    device.setResponder([&](const SimDevice::Received &message) {
        if (message.index % 2 == 1)
            return SimDevice::defaultReply(message);
        return split ? Reply{{0, refusal.left(2)}, {10, refusal.mid(2)}} : Reply{{0, refusal}};
    });
    testsupport::TempFiles files;
    const QString path = files.write("image.bin", "{a}{b}");

    testsupport::LogCapture log;
    Device upload;
    upload.setTiming(kQuick);
    QCOMPARE(upload.upload(path, device.portName()), Outcome::FirmwareLoaded);
    QCOMPARE(device.records(), (QList<QByteArray>{"{a}", "{a}", "{b}", "{b}"}));
    const QStringList lines = log.debugLines();
    QCOMPARE(lines.mid(1, 4), (QStringList{hex("{a}"), hex(refusal), hex("{a}"), "4"}));
}

void TestDevice::silentDeviceGetsFiveSends() {
    SimDevice device;
    QVERIFY(device.start());
    device.setResponder([](const SimDevice::Received &) { return Reply{}; });
    testsupport::TempFiles files;
    const QString path = files.write("image.bin", "{a}{b}");

    testsupport::LogCapture log;
    Device upload;
    QSignalSpy progressSpy(&upload, &Device::progressChanged);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(upload.upload(path, device.portName()), Outcome::FirmwareNotLoaded);
    QVERIFY2(clock.elapsed() >= 4900 && clock.elapsed() < 7000,
             qPrintable(QString::number(clock.elapsed())));

    const auto received = device.received();
    QCOMPARE(received.size(), 5);
    for (int i = 0; i < received.size(); ++i) {
        QCOMPARE(received[i].bytes, QByteArray("{a}"));
        if (i > 0) {
            const qint64 gap = received[i].atMs - received[i - 1].atMs;
            // About a second apart: never sooner, and later only by a busy host's lateness.
            QVERIFY2(gap >= 950 && gap <= 2000, qPrintable(QString::number(gap)));
        }
    }
    // Five sends of the first record, then the empty last reply.
    QStringList expected{"Num records:  2"};
    for (int i = 0; i < 5; ++i)
        expected << hex("{a}");
    expected << hex("");
    QCOMPARE(log.debugLines(), expected);
    QCOMPARE(progressSpy.size(), 1);
}

void TestDevice::failureStopsAtRecordAndKeepsProgress() {
    SimDevice device;
    QVERIFY(device.start());
    // Records 0 and 1 are acknowledged; record 2 is refused on every send.
    device.setResponder([](const SimDevice::Received &message) {
        return message.index < 2 ? SimDevice::defaultReply(message) : Reply{{0, kNonZeroMiddle}};
    });
    QList<QByteArray> records;
    testsupport::TempFiles files;
    const QString path = files.write("image.bin", makeImage(10, &records));

    testsupport::LogCapture log;
    Device upload;
    upload.setTiming(kQuick);
    QSignalSpy progressSpy(&upload, &Device::progressChanged);
    QCOMPARE(upload.upload(path, device.portName()), Outcome::FirmwareNotLoaded);

    QCOMPARE(progressSpy.last()[0].toInt(), 20);
    QList<QByteArray> expected{records[0], records[1]};
    for (int i = 0; i < 5; ++i)
        expected << records[2];
    QCOMPARE(device.records(), expected);
    QCOMPARE(log.debugLines().last(), hex(kNonZeroMiddle));
}

// A device that acknowledges more than it was sent has taken a record the tool did not count; a
// reply that answers nothing else is only dropped.
void TestDevice::surplusReplyAfterAcknowledgement_data() {
    QTest::addColumn<int>("echoAfter");
    QTest::addColumn<QByteArray>("echo");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QList<QByteArray>>("records");
    QTest::addColumn<int>("progress");

    QTest::newRow("second acknowledgement after the last record")
        << 1 << kAck << int(Outcome::FirmwareNotLoaded) << QList<QByteArray>{"{a}", "{b}"} << 50;
    QTest::newRow("second acknowledgement after the first record")
        << 0 << kAck << int(Outcome::FirmwareNotLoaded) << QList<QByteArray>{"{a}"} << 0;
    QTest::newRow("refusal after an acknowledgement")
        << 0 << kNonZeroMiddle << int(Outcome::FirmwareLoaded) << QList<QByteArray>{"{a}", "{b}"}
        << 100;
}

void TestDevice::surplusReplyAfterAcknowledgement() {
    QFETCH(int, echoAfter);
    QFETCH(QByteArray, echo);
    QFETCH(int, outcome);
    QFETCH(QList<QByteArray>, records);
    QFETCH(int, progress);

    SimDevice device;
    QVERIFY(device.start());
    // The record is acknowledged, and echo follows during the pause after it.
    device.setResponder([&](const SimDevice::Received &message) {
        if (message.index == echoAfter)
            return Reply{{0, kAck}, {20, echo}};
        return SimDevice::defaultReply(message);
    });
    testsupport::TempFiles files;
    const QString path = files.write("image.bin", "{a}{b}");

    Device upload;
    QSignalSpy progressSpy(&upload, &Device::progressChanged);
    QCOMPARE(int(upload.upload(path, device.portName())), outcome);
    QCOMPARE(device.records(), records);
    QCOMPARE(progressSpy.last()[0].toInt(), progress);
    QCOMPARE(upload.outOfStep(), outcome == int(Outcome::FirmwareNotLoaded));
}

// A device that answers every record a little after the host gave up on it gets each record
// twice, each answer taken for the next send's: the last answer, owed after the last record, ends
// the upload rather than a success.
void TestDevice::deviceAlwaysLateNeverLoads() {
    SimDevice device;
    QVERIFY(device.start());
    const int lateMs = int((kQuick.recordReplyWindow + kQuick.latencyGrace).count()) + 80;
    device.setResponder([lateMs](const SimDevice::Received &) { return Reply{{lateMs, kAck}}; });
    testsupport::TempFiles files;
    const QString path = files.write("image.bin", "{a}{b}{c}");

    Device upload;
    upload.setTiming(kQuick);
    QSignalSpy reportSpy(&upload, &Device::reported);
    QCOMPARE(upload.upload(path, device.portName()), Outcome::FirmwareNotLoaded);
    QVERIFY(upload.outOfStep());
    QCOMPARE(reportSpy.size(), 1);
}

void TestDevice::vanishingDeviceEndsUpload() {
    SimDevice device;
    QVERIFY(device.start());
    device.setResponder([](const SimDevice::Received &message) {
        return message.index == 0 ? SimDevice::defaultReply(message) : SimDevice::hangUp();
    });
    testsupport::TempFiles files;
    const QString path = files.write("image.bin", "{a}{b}{c}");

    Device upload;
    upload.setTiming(kQuick);
    QSignalSpy reportSpy(&upload, &Device::reported);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(upload.upload(path, device.portName()), Outcome::FirmwareNotLoaded);
    QVERIFY(clock.elapsed() < 5500);
    QCOMPARE(reportSpy.size(), 1);
    QVERIFY(upload.deviceGone());
    QCOMPARE(device.records(), (QList<QByteArray>{"{a}", "{b}"}));
    // Sends that went nowhere are not counted.
    QCOMPARE(upload.sends(), device.received().size());
}

void TestDevice::floodingDeviceEndsUpload() {
    SimDevice device;
    QVERIFY(device.start());
    device.setResponder([](const SimDevice::Received &) { return SimDevice::flood('\0', 200, 5); });
    testsupport::TempFiles files;
    const QString path = files.write("image.bin", "{a}{b}");

    testsupport::LogCapture quiet; // the refused replies are large
    Device upload;
    upload.setTiming(kQuick);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(upload.upload(path, device.portName()), Outcome::FirmwareNotLoaded);
    QVERIFY(clock.elapsed() < 5500);
    QCOMPARE(device.records().value(0), QByteArray("{a}"));
    QVERIFY(!device.records().contains("{b}"));
}

void TestDevice::portGoneBeforeUpload() {
    testsupport::TempFiles files;
    // The port by a name of its own, gone with it: the terminal's own name may be had at once by
    // a device another test starts, which would then get this upload.
    const QString name = files.path("port");
    {
        SimDevice device;
        QVERIFY(device.start());
        QVERIFY(QFile::link(device.portName(), name));
    }
    QVERIFY(QFile::remove(name));
    const QString path = files.write("image.bin", "{a}");
    Device upload;
    QSignalSpy progressSpy(&upload, &Device::progressChanged);
    QCOMPARE(upload.upload(path, name), Outcome::PortNotOpened);
    QCOMPARE(progressSpy.size(), 1);
}

void TestDevice::portHeldDuringReportThenFreed() {
    // Upload success and failure are reported with the port still open, and it is closed after.
    for (const bool acknowledge : {true, false}) {
        SimDevice device;
        QVERIFY(device.start());
        if (!acknowledge)
            device.setResponder([](const SimDevice::Received &) { return Reply{{0, "x"}}; });
        testsupport::TempFiles files;
        const QString path = files.write("image.bin", "{a}");

        Device upload;
        upload.setTiming(kQuick);
        bool freeDuringReport = true;
        connect(&upload, &Device::reported, this,
                [&] { freeDuringReport = portIsFree(device.portName()); });
        QCOMPARE(upload.upload(path, device.portName()),
                 acknowledge ? Outcome::FirmwareLoaded : Outcome::FirmwareNotLoaded);
        QVERIFY(!freeDuringReport);
        QVERIFY(portIsFree(device.portName()));
    }
}

void TestDevice::unfinishedRecordDroppedAfterIdleLine() {
    SimDevice device;
    QVERIFY(device.start());
    QSerialPort port;
    QVERIFY(transfer::openLink(port, device.portName()));
    port.write("{left by an upload that stopped");
    QVERIFY(port.waitForBytesWritten(1000) || port.bytesToWrite() == 0);
    QTest::qWait(700);
    port.write("{x}");
    QVERIFY(port.waitForBytesWritten(1000) || port.bytesToWrite() == 0);
    QTRY_COMPARE(device.records(), QList<QByteArray>{"{x}"});
    QCOMPARE(device.droppedCount(), 1);
}

// A far end that never reads: the record cannot leave, so it must neither be queued again behind
// itself nor hold the tool up.
void TestDevice::bootloaderConfirmation_data() {
    QTest::addColumn<Reply>("reply");
    QTest::newRow("plain") << Reply{{0, "KOK"}};
    QTest::newRow("surrounded by other bytes") << Reply{{0, QByteArray("\x00zzKOK\r\n", 8)}};
    QTest::newRow("split across reads") << Reply{{0, "xKO"}, {40, "K"}};
    QTest::newRow("after a delay") << Reply{{350, "KOK"}};
}

void TestDevice::bootloaderConfirmation() {
    QFETCH(Reply, reply);
    SimDevice device;
    QVERIFY(device.start());
    device.setResponder([&](const SimDevice::Received &) { return reply; });

    Device entry;
    bool freeDuringReport = true;
    connect(&entry, &Device::reported, this,
            [&] { freeDuringReport = portIsFree(device.portName()); });
    QCOMPARE(entry.enterBootloader(device.portName()), Outcome::BootloaderEntered);
    QCOMPARE(device.receivedBytes(), QByteArray("@46FF$"));
    QCOMPARE(device.commandCount(), 1);
    // Confirmed with the port still open; closed once the report is done.
    QVERIFY(!freeDuringReport);
    QVERIFY(portIsFree(device.portName()));
}

void TestDevice::silentDeviceGetsThreeCommands() {
    SimDevice device;
    QVERIFY(device.start());
    device.setResponder([](const SimDevice::Received &) { return Reply{{0, "KO"}}; });

    testsupport::LogCapture log;
    Device entry;
    bool freeDuringReport = false;
    connect(&entry, &Device::reported, this,
            [&] { freeDuringReport = portIsFree(device.portName()); });
    QCOMPARE(entry.enterBootloader(device.portName()), Outcome::BootloaderNotEntered);
    // Each "KO" alone is no confirmation, even with the next one right behind it.
    QCOMPARE(device.receivedBytes(), QByteArray("@46FF$@46FF$@46FF$"));
    const auto received = device.received();
    for (int i = 1; i < received.size(); ++i) {
        const qint64 gap = received[i].atMs - received[i - 1].atMs;
        // About half a second apart: a busy host is late, and the device may note one late.
        QVERIFY2(gap >= 400 && gap <= 1500, qPrintable(QString::number(gap)));
    }
    // The failure is reported after the port is closed.
    QVERIFY(freeDuringReport);
    QVERIFY(log.debugLines().isEmpty());
}

void TestDevice::vanishingDeviceEndsBootloaderEntry() {
    SimDevice device;
    QVERIFY(device.start());
    device.setResponder([](const SimDevice::Received &) { return SimDevice::hangUp(); });
    Device entry;
    entry.setTiming(kQuick);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(entry.enterBootloader(device.portName()), Outcome::BootloaderNotEntered);
    QVERIFY(clock.elapsed() < 2000);
}

QTEST_GUILESS_MAIN(TestDevice)
#include "tst_device.moc"
