// The upload on a line as slow as a board's: 115200 baud, ten bit times a byte, records that
// take longer to leave than the reply window lasts, and replies at the window's edges.

#include "behaviour.h"
#include "device.h"
#include "firmwareimage.h"
#include "simdevice.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QtTest>

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

} // namespace

class TestPacedLine : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<transfer::Outcome>(); }
    void lateReplyOnPacedLine_data();
    void lateReplyOnPacedLine();
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
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QList<int>>("sends");
    // Refused replies in the trace, the last reply traced after a failure included.
    QTest::addColumn<int>("refusalsTraced");
    QTest::addColumn<bool>("paced");

    const int loaded = int(Outcome::FirmwareLoaded);
    const int notLoaded = int(Outcome::FirmwareNotLoaded);
    QTest::newRow("30 ms late") << 1030 << kAck << false << loaded << QList<int>{0, 1, 2, 3} << 0
                                << true;
    QTest::newRow("30 ms late, the last record refused")
        << 1030 << kAck << true << notLoaded << QList<int>{0, 1, 2, 3, 3, 3, 3, 3} << 6 << true;
    QTest::newRow("998 ms and 10 ms of adapter latency")
        << 1008 << kAck << false << loaded << QList<int>{0, 1, 2, 3} << 0 << true;
    // The resend goes once the window and its grace are over, 1100 ms after the record's last
    // byte, and is on the line for 178 ms: these replies come in the middle of that, some 90 ms
    // from either end, as far as the rows above are from the edges they test.
    QTest::newRow("acknowledged while the resend leaves")
        << 1190 << kAck << false << notLoaded << QList<int>{0, 1, 1} << 0 << true;
    QTest::newRow("refused while the resend leaves")
        << 1190 << kNonZeroMiddle << false << loaded << QList<int>{0, 1, 1, 2, 3} << 0 << true;
    // An ignored send, and the resend answered the moment its last byte is in.
    QTest::newRow("ignored once, the resend answered at once")
        << 0 << QByteArray() << false << loaded << QList<int>{0, 1, 1, 2, 3} << 0 << true;
    // Without pacing (USB CDC) the device has the resend at once, and its answers come while the
    // resend would still be on a UART's line: one is taken, two mean the record was taken twice.
    QTest::newRow("unpaced: ignored once, the resend answered at once")
        << 0 << QByteArray() << false << loaded << QList<int>{0, 1, 1, 2, 3} << 0 << false;
    QTest::newRow("unpaced: acknowledged late while the resend is answered")
        << 1370 << kAck << false << notLoaded << QList<int>{0, 1, 1} << 0 << false;
}

void TestPacedLine::lateReplyOnPacedLine() {
    QFETCH(int, lateMs);
    QFETCH(QByteArray, lateReply);
    QFETCH(bool, refuseLast);
    QFETCH(int, outcome);
    QFETCH(QList<int>, sends);
    QFETCH(int, refusalsTraced);
    QFETCH(bool, paced);

    QList<QByteArray> records;
    QByteArray image;
    for (int i = 0; i < 4; ++i) {
        records << '{' + QByteArray(2046, char('A' + i)) + '}';
        image += records.last();
    }
    SimDevice device;
    if (paced)
        device.setPacing(115200);
    // Every record is answered 20 to 80 ms after its last byte (at once after an ignored send),
    // but the first send of record 1.
    device.setResponder([&](const SimDevice::Received &message) {
        const int record = message.bytes.at(1) - 'A';
        if (message.index == 1)
            return lateReply.isEmpty() ? Reply{} : Reply{{lateMs, lateReply}};
        if (refuseLast && record == 3)
            return Reply{{20, kNonZeroMiddle}};
        return Reply{{lateReply.isEmpty() ? 0 : 20 + 20 * record, kAck}};
    });
    QVERIFY(device.start());
    testsupport::TempFiles files;
    const QString path = files.write("image.bin", image);

    testsupport::LogCapture log;
    Device upload;
    QCOMPARE(int(upload.upload(path, device.portName())), outcome);
    QList<QByteArray> expected;
    for (const int index : sends)
        expected << records.at(index);
    // What the host wrote before it closed the port still reaches the device.
    QTRY_COMPARE_WITH_TIMEOUT(device.records(), expected, 2000);
    QCOMPARE(log.debugLines().count(hex(kNonZeroMiddle)), refusalsTraced);
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
