// The upload on a line as slow as a board's: 115200 baud, ten bit times a byte, records that
// take longer to leave than the reply window lasts, and replies at the window's edges.

#include "behaviour.h"
#include "device.h"
#include "firmwareimage.h"
#include "simdevice.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QtTest>

#include <mutex>

#include <unistd.h>

using sim::SimDevice;
using transfer::Device;
using transfer::Outcome;
using Reply = SimDevice::Reply;

namespace {

const QByteArray kAck = SimDevice::acknowledgement();
const QByteArray kNonZeroMiddle = sim::Behaviour::refusal();

QByteArray hex(const QByteArray &bytes) {
    return '"' + bytes.toHex() + '"';
}

// count records of size bytes, each of a letter of its own from 'A' on, and the image of them.
QList<QByteArray> letteredRecords(int count, int size, QByteArray *image) {
    QList<QByteArray> records;
    for (int i = 0; i < count; ++i) {
        records << '{' + QByteArray(size - 2, char('A' + i)) + '}';
        *image += records.last();
    }
    return records;
}

} // namespace

class TestPacedLine : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<transfer::Outcome>(); }
    void lateReplyOnPacedLine_data();
    void lateReplyOnPacedLine();
    void slowDeviceNeverHeldTwice_data();
    void slowDeviceNeverHeldTwice();
    void pacedLineTakesEachRecordOnce_data();
    void pacedLineTakesEachRecordOnce();
    void lineThatTakesNothingEndsUpload();
};

// Replies near and past the end of the reply window on a line paced at 115200 baud, with records
// of 2 KiB that take 178 ms to leave: each reply is credited to the send it answers, or the upload
// ends without reporting an image the device may hold twice.
void TestPacedLine::lateReplyOnPacedLine_data() {
    QTest::addColumn<int>("lateMs");
    QTest::addColumn<QByteArray>("lateReply");
    QTest::addColumn<bool>("refuseLast");
    // The verdict of a host that keeps time; when the host's lateness can make the other one
    // true as well (a host that looked only after the late answer came never sent the record
    // again), either is taken, as long as it is true.
    QTest::addColumn<int>("outcome");
    QTest::addColumn<bool>("eitherIsTrue");
    // Refused replies in the trace, the last reply traced after a failure included.
    QTest::addColumn<int>("refusalsTraced");
    QTest::addColumn<bool>("paced");

    const int loaded = int(Outcome::FirmwareLoaded);
    const int notLoaded = int(Outcome::FirmwareNotLoaded);
    QTest::newRow("30 ms late") << 1030 << kAck << false << loaded << false << 0 << true;
    QTest::newRow("30 ms late, the last record refused")
        << 1030 << kAck << true << notLoaded << false << 6 << true;
    QTest::newRow("998 ms and 10 ms of adapter latency")
        << 1008 << kAck << false << loaded << false << 0 << true;
    // The resend goes once the window and its grace are over, 1100 ms after the record's last
    // byte, and is on the line for 178 ms: these replies come in the middle of that, some 90 ms
    // from either end, as far as the rows above are from the edges they test.
    QTest::newRow("acknowledged while the resend leaves")
        << 1190 << kAck << false << notLoaded << true << 0 << true;
    QTest::newRow("refused while the resend leaves")
        << 1190 << kNonZeroMiddle << false << loaded << false << 1 << true;
    // An ignored send, and the resend answered the moment its last byte is in.
    QTest::newRow("ignored once, the resend answered at once")
        << 0 << QByteArray() << false << loaded << false << 0 << true;
    // Without pacing (USB CDC) the device has the resend at once, and its answers come while the
    // resend would still be on a UART's line: one is taken, two mean the record was taken twice.
    QTest::newRow("unpaced: ignored once, the resend answered at once")
        << 0 << QByteArray() << false << loaded << false << 0 << false;
    QTest::newRow("unpaced: acknowledged late while the resend is answered")
        << 1370 << kAck << false << notLoaded << true << 0 << false;
}

void TestPacedLine::lateReplyOnPacedLine() {
    QFETCH(int, lateMs);
    QFETCH(QByteArray, lateReply);
    QFETCH(bool, refuseLast);
    QFETCH(int, outcome);
    QFETCH(bool, eitherIsTrue);
    QFETCH(int, refusalsTraced);
    QFETCH(bool, paced);

    QByteArray image;
    const QList<QByteArray> records = letteredRecords(4, 2048, &image);
    SimDevice device;
    if (paced)
        device.setPacing(115200);
    // Every record is answered 20 to 80 ms after its last byte (at once after an ignored send),
    // but the first send of record 1. What the device acknowledges it holds.
    QList<QByteArray> held;
    std::mutex heldMutex;
    device.setResponder([&](const SimDevice::Received &message) {
        const int record = message.bytes.at(1) - 'A';
        Reply reply;
        if (message.index == 1)
            reply = lateReply.isEmpty() ? Reply{} : Reply{{lateMs, lateReply}};
        else if (refuseLast && record == 3)
            reply = Reply{{20, kNonZeroMiddle}};
        else
            reply = Reply{{lateReply.isEmpty() ? 0 : 20 + 20 * record, kAck}};
        if (!reply.isEmpty() && reply.first().bytes == kAck) {
            const std::lock_guard<std::mutex> lock(heldMutex);
            held << message.bytes;
        }
        return reply;
    });
    QVERIFY(device.start());
    testsupport::TempFiles files;
    const QString path = files.write("image.bin", image);

    testsupport::LogCapture log;
    Device upload;
    const int result = int(upload.upload(path, device.portName()));
    // What the host wrote before it closed the port still reaches the device.
    QTest::qWait(500);
    device.stop();
    const bool heldOnce = held == records;
    const QString tell =
        QStringLiteral("outcome %1, the device holds %2 records").arg(result).arg(held.size());
    // Loaded means the device holds the image once and in order, whatever the host's pace.
    if (result == int(Outcome::FirmwareLoaded))
        QVERIFY2(heldOnce, qPrintable(tell));
    else
        QVERIFY2(!heldOnce, qPrintable(tell));
    if (!eitherIsTrue)
        QCOMPARE(result, outcome);
    if (result == outcome)
        QCOMPARE(log.debugLines().count(hex(kNonZeroMiddle)), refusalsTraced);
    if (result == int(Outcome::FirmwareNotLoaded) && !refuseLast)
        QVERIFY(upload.outOfStep());
}

// A device that writes each record to flash before it answers, one after the other, holding
// what arrives meanwhile: its first record takes longest (an erase), its last may never be
// answered. Whatever its pace, "loaded" means it holds the image once and in order, and one that
// answers within the reply window loads.
void TestPacedLine::slowDeviceNeverHeldTwice_data() {
    QTest::addColumn<int>("firstMs");
    QTest::addColumn<int>("recordMs");
    QTest::addColumn<int>("lastMs"); // -1: never answered
    QTest::addColumn<int>("recordSize");
    QTest::addColumn<bool>("paced");
    QTest::addColumn<bool>("mustLoad");

    QTest::newRow("erase 1.4 s, then 1.1 s, the last never")
        << 1400 << 1100 << -1 << 60 << false << false;
    QTest::newRow("erase 1.4 s, then 1.1 s, the last 3 s")
        << 1400 << 1100 << 3000 << 60 << false << false;
    QTest::newRow("1.125 s each, the last 3 s") << 1125 << 1125 << 3000 << 60 << false << false;
    QTest::newRow("1.15 s each") << 1150 << 1150 << 1150 << 60 << false << false;
    QTest::newRow("2.1 s each") << 2100 << 2100 << 2100 << 60 << false << false;
    QTest::newRow("erase 2.6 s, then at once") << 2600 << 0 << 0 << 60 << false << false;
    QTest::newRow("paced 4 KiB, erase 1.4 s, then 1.1 s")
        << 1400 << 1100 << 1100 << 4096 << true << false;
    QTest::newRow("erase 990 ms, then 900 ms") << 990 << 900 << 900 << 60 << false << true;
    QTest::newRow("paced 4 KiB, erase 990 ms, then 600 ms")
        << 990 << 600 << 600 << 4096 << true << true;
}

void TestPacedLine::slowDeviceNeverHeldTwice() {
    QFETCH(int, firstMs);
    QFETCH(int, recordMs);
    QFETCH(int, lastMs);
    QFETCH(int, recordSize);
    QFETCH(bool, paced);
    QFETCH(bool, mustLoad);

    constexpr int kRecords = 6;
    QByteArray image;
    const QList<QByteArray> records = letteredRecords(kRecords, recordSize, &image);
    SimDevice device;
    if (paced)
        device.setPacing(115200);
    QList<QByteArray> held;
    std::mutex heldMutex;
    bool erased = false;
    device.setResponder([&](const SimDevice::Received &message) {
        const int record = message.bytes.at(1) - 'A';
        int ms = record == kRecords - 1 ? lastMs : recordMs;
        if (!erased) {
            erased = true;
            ms = firstMs;
        }
        if (ms < 0)
            return Reply{};
        const std::lock_guard<std::mutex> lock(heldMutex);
        held << message.bytes;
        return Reply{{ms, kAck}};
    });
    QVERIFY(device.start());
    testsupport::TempFiles files;
    const QString path = files.write("image.bin", image);

    testsupport::LogCapture log;
    Device upload;
    const Outcome outcome = upload.upload(path, device.portName());
    QTest::qWait(500);
    device.stop();
    const std::lock_guard<std::mutex> lock(heldMutex);
    QVERIFY2(outcome == Outcome::FirmwareLoaded || outcome == Outcome::FirmwareNotLoaded,
             qPrintable(QString::number(int(outcome))));
    if (outcome == Outcome::FirmwareLoaded || mustLoad)
        QCOMPARE(held, records);
    if (mustLoad)
        QCOMPARE(outcome, Outcome::FirmwareLoaded);
}

// A device that takes the host's bytes at the pace of a real 115200 baud line: a record of
// 16 KiB needs longer than the reply window just to leave, and must still arrive once.
void TestPacedLine::pacedLineTakesEachRecordOnce_data() {
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<int>("processMs");

    const auto records = [](int count, int size) {
        QByteArray image;
        for (int i = 0; i < count; ++i)
            image += '{' + QByteArray(size - 2, char('A' + i)) + "}\n";
        return image;
    };
    QTest::newRow("two of 16 KiB") << records(2, 16 * 1024) << 0;
    QTest::newRow("one of 32 KiB") << records(1, 32 * 1024) << 0;
    QTest::newRow("8 KiB, answered 300 ms after the last byte") << records(2, 8 * 1024) << 300;
    QTest::newRow("command bytes inside a record") << QByteArray("{ab@46FF$cd}{x}") << 0;
}

void TestPacedLine::pacedLineTakesEachRecordOnce() {
    QFETCH(QByteArray, image);
    QFETCH(int, processMs);

    SimDevice device;
    device.setPacing(115200);
    device.setResponder([processMs](const SimDevice::Received &message) {
        return message.kind == SimDevice::Received::Record ? Reply{{processMs, kAck}} : Reply{};
    });
    QVERIFY(device.start());
    testsupport::TempFiles files;
    const QString path = files.write("image.bin", image);

    testsupport::LogCapture log;
    Device upload;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(upload.upload(path, device.portName()), Outcome::FirmwareLoaded);
    const QList<QByteArray> expected = transfer::splitRecords(image);
    QCOMPARE(device.records(), expected);
    QCOMPARE(device.commandCount(), 0);
    // Each record went once, at the first send.
    QCOMPARE(log.debugLines().count("5"), expected.size());
    // The device took the bytes no faster than the line carries them.
    const qint64 wireMs = expected.join().size() * 10 * 1000LL / 115200;
    QVERIFY2(clock.elapsed() >= wireMs, qPrintable(QString::number(clock.elapsed())));
}

void TestPacedLine::lineThatTakesNothingEndsUpload() {
    const testsupport::TerminalPair terminal;
    QVERIFY(terminal.isOpen());
    const QByteArray record = '{' + QByteArray(16 * 1024, 'r') + '}';
    testsupport::TempFiles files;
    const QString path = files.write("image.bin", record + "{next}");

    testsupport::LogCapture log;
    Device upload;
    // Given up on sooner than after the tool's own second.
    transfer::Timing quick;
    quick.leaveGrace = std::chrono::milliseconds(300);
    upload.setTiming(quick);
    QCOMPARE(upload.upload(path, terminal.path()), Outcome::FirmwareNotLoaded);
    QCOMPARE(log.debugLines(), (QStringList{"Num records:  2", hex(record), hex("")}));
}

QTEST_GUILESS_MAIN(TestPacedLine)
#include "tst_pacedline.moc"
