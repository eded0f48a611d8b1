#include "device.h"
#include "firmwareimage.h"
#include "seriallink.h"
#include "simdevice.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using sim::SimDevice;
using transfer::Device;
using transfer::Outcome;
using Reply = SimDevice::Reply;

namespace {

QString helperPath() {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/porthelper");
}

// A helper process that is always ended, also when a check fails half-way.
struct HelperProcess {
    QProcess process;
    ~HelperProcess() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
};

// Runs the helper, as the unprivileged user "nobody" when the tests run as root (root opens
// anything, whatever its permissions). Empty when that is not possible here.
QStringList helperCommand(const QStringList &args) {
    if (::geteuid() != 0)
        return QStringList{helperPath()} + args;
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (setpriv.isEmpty())
        return {};
    return QStringList{setpriv, "--reuid=65534", "--regid=65534", "--clear-groups", helperPath()} +
           args;
}

struct HelperResult {
    int exitCode;
    QString output;
};

HelperResult runHelper(const QStringList &command) {
    HelperProcess helper;
    helper.process.start(command.first(), command.mid(1));
    if (!helper.process.waitForFinished(10000))
        return {-1, QString()};
    return {helper.process.exitCode(),
            QString::fromLocal8Bit(helper.process.readAllStandardOutput()).trimmed()};
}

QByteArray randomRecord(QRandomGenerator &random) {
    QByteArray record = "{";
    const int size = random.bounded(0, 40);
    for (int i = 0; i < size; ++i) {
        char byte = char(random.bounded(0, 256));
        if (byte == '}')
            byte = '{'; // a '{' inside a record is allowed, a '}' would end it
        record += byte;
    }
    return record + '}';
}

// Between 1 and below maxCount random records.
QList<QByteArray> randomRecords(QRandomGenerator &random, int maxCount) {
    QList<QByteArray> records;
    const int count = random.bounded(1, maxCount);
    for (int i = 0; i < count; ++i)
        records << randomRecord(random);
    return records;
}

// One data row per seed, 1 to count, for the randomised checks.
void addSeedRows(quint32 count) {
    QTest::addColumn<quint32>("seed");
    for (quint32 seed = 1; seed <= count; ++seed)
        QTest::newRow(qPrintable(QStringLiteral("seed %1").arg(seed))) << seed;
}

// An image of the given records with random filler (no braces) between them.
QByteArray imageOf(const QList<QByteArray> &records, QRandomGenerator &random) {
    QByteArray image;
    for (const QByteArray &record : records) {
        const int filler = random.bounded(0, 4);
        for (int i = 0; i < filler; ++i)
            image += char('a' + random.bounded(0, 26));
        image += record;
    }
    return image;
}

} // namespace

class TestFaults : public QObject {
    Q_OBJECT

private slots:
    void portHeldByAnotherProcess_data();
    void portHeldByAnotherProcess();
    void noPermissionForUser_data();
    void noPermissionForUser();
    void lateAnswerAfterTimeout();
    void floodingDeviceEndsBootloaderEntry();
    void anyReplyStyleDeliversImageOnce_data();
    void anyReplyStyleDeliversImageOnce();
    void unacknowledgedRecordStopsUpload_data();
    void unacknowledgedRecordStopsUpload();
};

void TestFaults::portHeldByAnotherProcess_data() {
    QTest::addColumn<bool>("throughLink");
    QTest::newRow("under the same name") << false;
    // Root's opens are not kept out by the port's exclusive mode; the device's lock is taken
    // whatever name it is opened by.
    QTest::newRow("under another name") << true;
}

void TestFaults::portHeldByAnotherProcess() {
    QFETCH(bool, throughLink);
    SimDevice device;
    QVERIFY(device.start());
    testsupport::TempFiles files;
    const QString path = files.write("image.bin", "{a}");
    const QString link = files.path("board");
    QVERIFY(QFile::link(device.portName(), link));

    HelperProcess holder;
    holder.process.start(helperPath(), {"hold", throughLink ? link : device.portName()});
    QVERIFY(holder.process.waitForReadyRead(10000));
    QCOMPARE(holder.process.readLine().trimmed(), QByteArray("held"));

    testsupport::LogCapture quiet;
    Device operations;
    QCOMPARE(operations.upload(path, device.portName()), Outcome::PortNotOpened);
    QCOMPARE(operations.enterBootloader(device.portName()), Outcome::PortNotOpened);
    if (throughLink)
        QVERIFY(operations.linkFailure().lockedElsewhere);
    QVERIFY(device.receivedBytes().isEmpty());

    // Once the other program lets go, the port is usable again.
    holder.process.closeWriteChannel();
    QVERIFY(holder.process.waitForFinished(10000));
    QCOMPARE(holder.process.exitCode(), 0);
    QCOMPARE(operations.upload(path, device.portName()), Outcome::FirmwareLoaded);
}

void TestFaults::noPermissionForUser_data() {
    QTest::addColumn<QString>("what");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");

    // Each refusal has a control with the access granted, so it is the permission that counts.
    QTest::newRow("port without permission") << "port" << 0000 << 3 << "";
    QTest::newRow("port with permission") << "port" << 0666 << 0 << "";
    QTest::newRow("unreadable image") << "image" << 0000 << 0 << "File not open";
    QTest::newRow("readable image") << "image" << 0644 << 0 << "records 2";
}

void TestFaults::noPermissionForUser() {
    QFETCH(QString, what);
    QFETCH(int, mode);
    QFETCH(int, exitCode);
    QFETCH(QString, output);

    SimDevice device;
    QVERIFY(device.start());
    testsupport::TempFiles files;
    const QString image = files.write("image.bin", "{a}{b}");
    QVERIFY(QFile::setPermissions(files.path(QString()), QFile::ReadOwner | QFile::WriteOwner |
                                                             QFile::ExeOwner | QFile::ReadOther |
                                                             QFile::ExeOther));
    const QString target = what == QLatin1String("port") ? device.portName() : image;
    const QByteArray native = QFile::encodeName(target);
    QCOMPARE(::chmod(native.constData(), mode_t(mode)), 0);

    const QStringList command =
        helperCommand({what == QLatin1String("port") ? "open" : "load", target});
    if (command.isEmpty())
        QSKIP("Running as root without setpriv: cannot test as an unprivileged user.");
    // Without arguments the helper answers 64; anything else means that user cannot even start
    // it from here (a build folder closed to others), which says nothing about the tool.
    if (runHelper(command.mid(0, command.size() - 2)).exitCode != 64)
        QSKIP("The unprivileged user cannot start the helper from this build folder.");
    const HelperResult result = runHelper(command);
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.output, output);
}

void TestFaults::lateAnswerAfterTimeout() {
    SimDevice device;
    QVERIFY(device.start());
    // The first send of the first record is answered 1200 ms late, after the host's time-out,
    // and the second send 20 ms after that; everything else at once.
    device.setResponder([](const SimDevice::Received &message) {
        if (message.index < 2)
            return Reply{{message.index == 0 ? 1200 : 20, SimDevice::acknowledgement()}};
        return SimDevice::defaultReply(message);
    });
    testsupport::TempFiles files;
    const QString path = files.write("image.bin", "{a}{b}");

    Device upload;
    const Outcome outcome = upload.upload(path, device.portName());
    // Two acknowledgements came for the record's two sends: the device holds it twice, and the
    // upload ends there. A host that ran late found the late answer before it sent the record
    // again, and the device then holds each record once.
    if (outcome == Outcome::FirmwareLoaded) {
        QCOMPARE(device.records(), (QList<QByteArray>{"{a}", "{b}"}));
    } else {
        QCOMPARE(outcome, Outcome::FirmwareNotLoaded);
        QVERIFY(upload.outOfStep());
        QCOMPARE(device.records(), (QList<QByteArray>{"{a}", "{a}"}));
    }
}

void TestFaults::floodingDeviceEndsBootloaderEntry() {
    SimDevice device;
    QVERIFY(device.start());
    device.setResponder([](const SimDevice::Received &) { return SimDevice::flood('O', 300, 2); });
    Device entry;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(entry.enterBootloader(device.portName()), Outcome::BootloaderNotEntered);
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
}

void TestFaults::anyReplyStyleDeliversImageOnce_data() {
    addSeedRows(8);
}

void TestFaults::anyReplyStyleDeliversImageOnce() {
    QFETCH(quint32, seed);
    QRandomGenerator random(seed);
    const QList<QByteArray> records = randomRecords(random, 7);
    const int count = records.size();

    // Each record's acknowledgement comes at once, split in two or three reads, or delayed,
    // always within the time-out.
    QList<Reply> replies;
    for (int i = 0; i < count; ++i) {
        const QByteArray ack = SimDevice::acknowledgement();
        switch (random.bounded(0, 4)) {
        case 0:
            replies << Reply{{0, ack}};
            break;
        case 1:
            replies << SimDevice::split(ack, random.bounded(1, 200));
            break;
        case 2:
            replies << Reply{{0, ack.left(1)},
                             {random.bounded(1, 100), ack.mid(1, 1)},
                             {random.bounded(1, 100), ack.mid(2)}};
            break;
        default:
            replies << Reply{{random.bounded(1, 600), ack}};
            break;
        }
    }

    SimDevice device;
    QVERIFY(device.start());
    device.setResponder([replies](const SimDevice::Received &message) {
        return replies.value(message.index, Reply{});
    });
    testsupport::TempFiles files;
    const QByteArray image = imageOf(records, random);
    QCOMPARE(transfer::splitRecords(image), records);
    const QString path = files.write("image.bin", image);

    testsupport::LogCapture quiet;
    Device upload;
    QCOMPARE(upload.upload(path, device.portName()), Outcome::FirmwareLoaded);
    QCOMPARE(device.records(), records);
    QCOMPARE(device.receivedBytes(), records.join());
}

void TestFaults::unacknowledgedRecordStopsUpload_data() {
    addSeedRows(6);
}

void TestFaults::unacknowledgedRecordStopsUpload() {
    QFETCH(quint32, seed);
    QRandomGenerator random(seed);
    const QList<QByteArray> records = randomRecords(random, 8);
    const int count = records.size();
    const int failing = random.bounded(0, count);

    // Records before the failing one are acknowledged, possibly after a refusal or two; the
    // failing one is refused on every send.
    QList<int> refusalsBefore;
    for (int i = 0; i < count; ++i)
        refusalsBefore << (i == failing ? 5 : random.bounded(0, 3));
    SimDevice device;
    QVERIFY(device.start());
    device.setResponder([refusalsBefore](const SimDevice::Received &message) {
        // Which record and which send of it this is follows from the earlier refusals.
        int index = message.index;
        for (int record = 0; record < refusalsBefore.size(); ++record) {
            const int sends = refusalsBefore[record] + 1;
            if (index < sends)
                return index < refusalsBefore[record] ? Reply{{0, QByteArray("A\x01K", 3)}}
                                                      : Reply{{0, SimDevice::acknowledgement()}};
            index -= sends;
        }
        return Reply{};
    });
    testsupport::TempFiles files;
    const QString path = files.write("image.bin", imageOf(records, random));

    testsupport::LogCapture quiet;
    Device upload;
    QCOMPARE(upload.upload(path, device.portName()), Outcome::FirmwareNotLoaded);
    QList<QByteArray> expected;
    for (int i = 0; i <= failing; ++i) {
        const int sends = i == failing ? 5 : refusalsBefore[i] + 1;
        for (int s = 0; s < sends; ++s)
            expected << records[i];
    }
    QCOMPARE(device.records(), expected);
}

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
