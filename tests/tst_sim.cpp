#include "behaviour.h"
#include "programs.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QtTest>

#include <atomic>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

using programs::Result;
using programs::SimProcess;
using sim::Behaviour;
using sim::SimDevice;

namespace {

QByteArray exampleImage() {
    QFile file(QStringLiteral(BOOTLOADER_EXAMPLES_DIR "/blink.bin"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<not readable>");
}

// One letter a verdict: a acknowledged, r refused, c confirmed, - not answered.
char letter(Behaviour::Verdict verdict) {
    switch (verdict) {
    case Behaviour::Verdict::Acknowledged:
        return 'a';
    case Behaviour::Verdict::Refused:
        return 'r';
    case Behaviour::Verdict::Confirmed:
        return 'c';
    case Behaviour::Verdict::HungUp:
        return 'h';
    case Behaviour::Verdict::Ignored:
        break;
    }
    return '-';
}

// The host's end of a port, opened raw the way a serial port is, and closed when it goes out of
// scope (also when a check fails half-way).
class HostPort {
public:
    explicit HostPort(const QString &name)
        : m_fd(::open(QFile::encodeName(name).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
        termios tio{};
        if (m_fd >= 0 && ::tcgetattr(m_fd, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(m_fd, TCSANOW, &tio);
        }
    }
    ~HostPort() { close(); }
    HostPort(const HostPort &) = delete;
    HostPort &operator=(const HostPort &) = delete;

    bool isOpen() const { return m_fd >= 0; }
    void close() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    // Writes all of bytes, waiting for room while the device takes them.
    bool write(const QByteArray &bytes) {
        QElapsedTimer clock;
        clock.start();
        for (int offset = 0; offset < bytes.size();) {
            const ssize_t n =
                ::write(m_fd, bytes.constData() + offset, size_t(bytes.size() - offset));
            if (n > 0) {
                offset += int(n);
                continue;
            }
            if ((n < 0 && errno != EAGAIN) || clock.elapsed() > 10000)
                return false;
            pollfd fd{m_fd, POLLOUT, 0};
            ::poll(&fd, 1, 10);
        }
        return true;
    }
    // Reads until count bytes came or timeoutMs passed.
    QByteArray read(int count, int timeoutMs) {
        QByteArray bytes;
        QElapsedTimer clock;
        clock.start();
        char buffer[4096];
        while (bytes.size() < count) {
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n > 0) {
                bytes.append(buffer, int(n));
                continue;
            }
            const qint64 left = timeoutMs - clock.elapsed();
            if ((n < 0 && errno != EAGAIN) || n == 0 || left <= 0)
                break;
            pollfd fd{m_fd, POLLIN, 0};
            ::poll(&fd, 1, int(left));
        }
        return bytes;
    }
    // Bytes the device wrote that wait to be read.
    int waiting() const {
        int count = -1;
        ::ioctl(m_fd, FIONREAD, &count);
        return count;
    }

private:
    int m_fd;
};

// How long bytes take on a line of 115200 baud, ten bit times a byte, in milliseconds.
int wireMs(qint64 bytes) {
    return int(bytes * 10 * 1000 / 115200);
}

QByteArray record(int size, char fill) {
    return '{' + QByteArray(size - 2, fill) + '}';
}

} // namespace

Q_DECLARE_METATYPE(SimDevice::Reply)
Q_DECLARE_METATYPE(sim::Faults)

class TestSim : public QObject {
    Q_OBJECT

private slots:
    void faults_data();
    void faults();

    void uploadEndToEnd_data();
    void uploadEndToEnd();
    void confirmsAndCountsCommands();
    void stopsWithoutHost();
    void killedKeepsEarlierSave();
    void savesRecordHoldingCommandWhole();
    void badArguments_data();
    void badArguments();
    void unwritableSaveFile();
    void helpAndVersion();

    void countsRecordOnceItsReplyIsWritten_data();
    void countsRecordOnceItsReplyIsWritten();
    void takesRecordsBackToBackWhileProcessing_data();
    void takesRecordsBackToBackWhileProcessing();
    void dropsRecordCutOffByHostClose_data();
    void dropsRecordCutOffByHostClose();

    void replyObserverSeesWholeReply_data();
    void replyObserverSeesWholeReply();
    void stopWritesNoPendingReply_data();
    void stopWritesNoPendingReply();

    void slowDeviceAnswersInTurn_data();
    void slowDeviceAnswersInTurn();
    void reportsEachRecordAsOftenAsHeld();
};

void TestSim::faults_data() {
    QTest::addColumn<bool>("silent");
    QTest::addColumn<int>("refuseEvery");
    QTest::addColumn<bool>("split");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<QByteArray>("messages"); // R a record, C the command, in arrival order
    QTest::addColumn<QByteArray>("verdicts");

    QTest::newRow("well behaved") << false << 0 << false << 0 << QByteArray("RRCR")
                                  << QByteArray("aaca");
    QTest::newRow("silent") << true << 0 << false << 0 << QByteArray("RRC") << QByteArray("---");
    // The host resends a refused record; that send is taken, and the count goes on from there.
    QTest::newRow("every 2nd refused once")
        << false << 2 << false << 0 << QByteArray("RRRRRRR") << QByteArray("araaraa");
    QTest::newRow("every record refused once")
        << false << 1 << false << 0 << QByteArray("RRCRR") << QByteArray("racra");
    QTest::newRow("split and delayed")
        << false << 3 << true << 250 << QByteArray("RRRRC") << QByteArray("aarac");
}

void TestSim::faults() {
    QFETCH(bool, silent);
    QFETCH(int, refuseEvery);
    QFETCH(bool, split);
    QFETCH(int, delayMs);
    QFETCH(QByteArray, messages);
    QFETCH(QByteArray, verdicts);

    Behaviour behaviour(sim::Faults{silent, refuseEvery, split, delayMs});
    QByteArray seen;
    int records = 0;
    int commands = 0;
    for (const char kind : messages) {
        const bool record = kind == 'R';
        const SimDevice::Received message{
            record ? SimDevice::Received::Record : SimDevice::Received::Command,
            record ? records++ : commands++, record ? QByteArray("{x}") : SimDevice::command(), 0};
        const Behaviour::Answer answer = behaviour.answer(message);
        seen += letter(answer.verdict);

        QByteArray bytes;
        for (const SimDevice::Chunk &chunk : answer.reply) {
            QVERIFY(!chunk.bytes.isEmpty());
            QVERIFY(!chunk.hangUp);
            bytes += chunk.bytes;
        }
        if (silent) {
            QVERIFY(answer.reply.isEmpty());
            continue;
        }
        QCOMPARE(answer.reply.size(), split ? 2 : 1);
        QCOMPARE(answer.reply.first().delayMs, delayMs);
        // The second part still comes well within the host's one-second wait.
        if (split)
            QVERIFY(answer.reply.last().delayMs > 0 && answer.reply.last().delayMs < 500);
        switch (answer.verdict) {
        case Behaviour::Verdict::Acknowledged:
            QCOMPARE(bytes.size(), 3);
            QCOMPARE(bytes.at(1), '\0');
            break;
        case Behaviour::Verdict::Refused:
            QCOMPARE(bytes.size(), 3);
            QVERIFY(bytes.at(1) != '\0');
            break;
        case Behaviour::Verdict::Confirmed:
            QVERIFY(bytes.contains("KOK"));
            break;
        case Behaviour::Verdict::Ignored:
            QFAIL("a device that is not silent answers every message");
        case Behaviour::Verdict::HungUp:
            QFAIL("only a device under chaos goes away");
        }
    }
    QCOMPARE(seen, verdicts);
}

void TestSim::uploadEndToEnd_data() {
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<int>("stopSignal");
    QTest::addColumn<int>("received");
    QTest::addColumn<int>("refused");

    QTest::newRow("stopped by SIGTERM") << QStringList{} << SIGTERM << 12 << 0;
    QTest::newRow("stopped by SIGINT") << QStringList{} << SIGINT << 12 << 0;
    QTest::newRow("every 5th record refused once")
        << QStringList{"--refuse-every", "5"} << SIGTERM << 14 << 2;
    QTest::newRow("paced at 115200 baud, replies split and late")
        << QStringList{"--baud", "115200", "--split", "--delay", "150"} << SIGTERM << 12 << 0;
}

void TestSim::uploadEndToEnd() {
    QFETCH(QStringList, faults);
    QFETCH(int, stopSignal);
    QFETCH(int, received);
    QFETCH(int, refused);

    const QByteArray image = exampleImage();
    const QByteArray records = programs::recordsOf(image);
    QCOMPARE(records.count('}'), 12);

    testsupport::TempFiles files;
    const QString saved = files.path("saved.bin");
    SimProcess sim;
    QVERIFY(sim.start(QStringList{"-v", "--save", saved} + faults));
    QVERIFY(sim.port().startsWith("/dev/"));

    const Result upload = programs::runCli(
        {"upload", sim.port(), QStringLiteral(BOOTLOADER_EXAMPLES_DIR "/blink.bin")});
    QCOMPARE(upload.exitCode, 0);
    QCOMPARE(upload.errLines().value(upload.errLines().size() - 1), "Firmware loaded!");

    QVERIFY(sim.stop(stopSignal));
    QCOMPARE(sim.exitCode(), 0);
    QCOMPARE(readFile(saved), records);

    // A line per record received, refused ones included, then the summary.
    const QStringList lines =
        QString::fromLocal8Bit(sim.errorOutput()).split('\n', Qt::SkipEmptyParts);
    const QRegularExpression recordLine(
        QStringLiteral("^record (\\d+) \\(\\d+ bytes\\): (acknowledged|refused)$"));
    int refusedLines = 0;
    for (int i = 0; i < lines.size() - 1; ++i) {
        const auto match = recordLine.match(lines[i]);
        QVERIFY2(match.hasMatch(), qPrintable(lines[i]));
        QCOMPARE(match.captured(1).toInt(), i + 1);
        refusedLines += match.captured(2) == QLatin1String("refused");
    }
    QCOMPARE(lines.size() - 1, received);
    QCOMPARE(refusedLines, refused);
    QCOMPARE(lines.last(), QStringLiteral("bootloader-sim: records: %1 received, 12 acknowledged, "
                                          "%2 refused; commands: 0; saved %3 bytes to %4")
                               .arg(received)
                               .arg(refused)
                               .arg(records.size())
                               .arg(saved));
}

void TestSim::confirmsAndCountsCommands() {
    SimProcess sim;
    QVERIFY(sim.start({"--verbose"}));
    for (int i = 0; i < 2; ++i)
        QCOMPARE(programs::runCli({"-q", "enter", sim.port()}).exitCode, 0);
    QVERIFY(sim.stop());
    QCOMPARE(QString::fromLocal8Bit(sim.errorOutput()).split('\n', Qt::SkipEmptyParts),
             (QStringList{"command 1 (6 bytes): confirmed", "command 2 (6 bytes): confirmed",
                          "bootloader-sim: records: 0 received, 0 acknowledged, 0 refused; "
                          "commands: 2"}));
}

void TestSim::stopsWithoutHost() {
    testsupport::TempFiles files;
    // An earlier file is replaced, even when nothing is taken in.
    const QString saved = files.write("saved.bin", "old contents");
    SimProcess sim;
    QVERIFY(sim.start({"--save", saved}));
    QVERIFY(QFileInfo::exists(sim.port()));
    QVERIFY(sim.stop(SIGINT));
    QCOMPARE(sim.exitCode(), 0);
    QCOMPARE(readFile(saved), QByteArray());
    QVERIFY(sim.errorOutput().startsWith("bootloader-sim: records: 0 received"));
}

void TestSim::killedKeepsEarlierSave() {
    testsupport::TempFiles files;
    const QString saved = files.write("saved.bin", "old contents");
    SimProcess sim;
    QVERIFY(sim.start({"--save", saved}));
    QVERIFY(!sim.stop(SIGKILL));
    QCOMPARE(readFile(saved), QByteArray("old contents"));
}

void TestSim::savesRecordHoldingCommandWhole() {
    testsupport::TempFiles files;
    const QString image = files.write("image.bin", "{ab@46FF$cd}\n{x}");
    const QString saved = files.path("saved.bin");
    SimProcess sim;
    QVERIFY(sim.start({"--baud", "115200", "--save", saved}));
    QCOMPARE(programs::runCli({"-q", "upload", sim.port(), image}).exitCode, 0);
    QVERIFY(sim.stop());
    QCOMPARE(readFile(saved), QByteArray("{ab@46FF$cd}{x}"));
    QVERIFY2(sim.errorOutput().contains("records: 2 received, 2 acknowledged, 0 refused; "
                                        "commands: 0;"),
             sim.errorOutput().constData());
}

void TestSim::badArguments_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("error");

    QTest::newRow("refuse every 0") << QStringList{"--refuse-every", "0"}
                                    << "--refuse-every needs a whole number of at least 1, not '0'";
    QTest::newRow("negative delay")
        << QStringList{"--delay", "-5"} << "--delay needs a whole number of at least 0, not '-5'";
    QTest::newRow("baud in words")
        << QStringList{"--baud", "fast"} << "--baud needs a whole number of at least 1, not 'fast'";
    QTest::newRow("save without file") << QStringList{"--save"} << "Missing value after '--save'.";
    QTest::newRow("unknown option") << QStringList{"--loud"} << "Unknown option 'loud'.";
    QTest::newRow("argument") << QStringList{"/dev/ttyS0"} << "unexpected argument '/dev/ttyS0'";
    QTest::newRow("last record's time without the count")
        << QStringList{"--process-last", "none"} << "--process-last needs --records";
    QTest::newRow("slow chaos without a seed")
        << QStringList{"--chaos-slow"} << "--chaos-slow needs --chaos";
}

void TestSim::badArguments() {
    QFETCH(QStringList, args);
    QFETCH(QString, error);
    const Result result = programs::run(programs::simPath(), args, 5000);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 64);
    // No port is offered to a script reading stdout.
    QVERIFY(result.out.isEmpty());
    const QStringList lines = result.errLines();
    QCOMPARE(lines.value(0), "bootloader-sim: " + error);
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines[1].startsWith("Usage: bootloader-sim "));
}

void TestSim::unwritableSaveFile() {
    testsupport::TempFiles files;
    const QString saved = files.path("no-such-folder/saved.bin");
    const Result result = programs::run(programs::simPath(), {"--save", saved}, 5000);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 1);
    QVERIFY(result.out.isEmpty());
    QCOMPARE(result.errLines().size(), 1);
    QVERIFY2(result.errLines()[0].startsWith("bootloader-sim: cannot write " + saved),
             result.err.constData());
}

void TestSim::helpAndVersion() {
    const Result help = programs::run(programs::simPath(), {"--help"}, 5000);
    QCOMPARE(help.exitCode, 0);
    const QString text = QString::fromLocal8Bit(help.out);
    QVERIFY(text.startsWith("Usage: bootloader-sim [options]\n"));
    for (const char *option :
         {"--save <file>", "--silent", "--refuse-every <k>", "--split", "--delay <ms>",
          "--process <ms>", "--process-first <ms>", "--process-last <ms|none>", "--records <n>",
          "--baud <rate>", "--chaos <seed>", "--chaos-slow", "--verbose", "--version"})
        QVERIFY2(text.contains(QLatin1String(option)), option);

    const Result version = programs::run(programs::simPath(), {"--version"}, 5000);
    QCOMPARE(version.exitCode, 0);
    QCOMPARE(version.out, QByteArray("bootloader-sim " BOOTLOADER_EXPECTED_VERSION "\n"));
}

// A record counts as acknowledged, and is saved, once the last byte of its acknowledgement is on
// the line: stopped while the device still processed it, the record was received, not answered.
void TestSim::countsRecordOnceItsReplyIsWritten_data() {
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<int>("stopAfterMs"); // after the record's last byte reached the device
    QTest::addColumn<bool>("answered");

    QTest::newRow("small record, stopped while processing") << QByteArray("{x}") << 300 << false;
    QTest::newRow("4 KiB record, stopped while processing") << record(4096, 'p') << 300 << false;
    QTest::newRow("small record, stopped once answered") << QByteArray("{x}") << 1100 << true;
    QTest::newRow("4 KiB record, stopped once answered") << record(4096, 'p') << 1100 << true;
}

void TestSim::countsRecordOnceItsReplyIsWritten() {
    QFETCH(QByteArray, sent);
    QFETCH(int, stopAfterMs);
    QFETCH(bool, answered);

    testsupport::TempFiles files;
    const QString saved = files.path("saved.bin");
    SimProcess sim;
    QVERIFY(sim.start({"-v", "--baud", "115200", "--process", "800", "--save", saved}));
    HostPort host(sim.port());
    QVERIFY(host.isOpen());
    QElapsedTimer clock;
    clock.start();
    QVERIFY(host.write(sent));
    const int stopAtMs = wireMs(sent.size()) + stopAfterMs;
    const QByteArray reply = host.read(3, int(qMax<qint64>(0, stopAtMs - clock.elapsed())));
    QTest::qWait(int(qMax<qint64>(0, stopAtMs - clock.elapsed())));
    QVERIFY(sim.stop(SIGTERM));
    QCOMPARE(sim.exitCode(), 0);

    QCOMPARE(reply, answered ? SimDevice::acknowledgement() : QByteArray());
    QCOMPARE(readFile(saved), answered ? sent : QByteArray());
    QStringList expected;
    if (answered)
        expected << QStringLiteral("record 1 (%1 bytes): acknowledged").arg(sent.size());
    expected << QStringLiteral("bootloader-sim: records: 1 received, %1 acknowledged, 0 refused; "
                               "commands: 0; saved %2 bytes to %3")
                    .arg(answered ? 1 : 0)
                    .arg(answered ? sent.size() : 0)
                    .arg(saved);
    QCOMPARE(QString::fromLocal8Bit(sim.errorOutput()).split('\n', Qt::SkipEmptyParts), expected);
}

// A device busy with a record still takes the bytes that follow it on time: a record right
// behind another is not taken for one the line went idle in.
void TestSim::takesRecordsBackToBackWhileProcessing_data() {
    QTest::addColumn<QList<QByteArray>>("records");

    QTest::newRow("two of 3 KiB") << QList<QByteArray>{record(3072, 'a'), record(3072, 'b')};
    QTest::newRow("2 KiB, then 6 KiB") << QList<QByteArray>{record(2048, 'a'), record(6144, 'b')};
    QTest::newRow("small, then 3 KiB") << QList<QByteArray>{QByteArray("{x}"), record(3072, 'b')};
}

void TestSim::takesRecordsBackToBackWhileProcessing() {
    QFETCH(QList<QByteArray>, records);

    testsupport::TempFiles files;
    const QString saved = files.path("saved.bin");
    SimProcess sim;
    QVERIFY(sim.start({"-v", "--baud", "115200", "--process", "800", "--save", saved}));
    {
        HostPort host(sim.port());
        QVERIFY(host.isOpen());
        QVERIFY(host.write(records.join()));
        // Answered one at a time, each 800 ms after it was taken in.
        const int waitMs = wireMs(records.join().size()) + 800 * records.size() + 2000;
        QByteArray acknowledgements;
        for (int i = 0; i < records.size(); ++i)
            acknowledgements += SimDevice::acknowledgement();
        QCOMPARE(host.read(acknowledgements.size(), waitMs), acknowledgements);
    }
    QVERIFY(sim.stop(SIGTERM));
    QCOMPARE(readFile(saved), records.join());
    const QByteArray err = sim.errorOutput();
    QVERIFY2(!err.contains("dropped"), err.constData());
    QVERIFY2(err.contains(QStringLiteral("records: %1 received, %1 acknowledged, 0 refused;")
                              .arg(records.size())
                              .toLatin1()),
             err.constData());
}

// A host cut off in the middle of a record and started again at once: its first record is not
// joined to the remains of the one before.
void TestSim::dropsRecordCutOffByHostClose_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("cutOff"); // what the first host wrote before it closed the port
    QTest::addColumn<QByteArray>("next");
    QTest::addColumn<QByteArray>("saved");
    QTest::addColumn<int>("droppedBytes");

    const QStringList paced{"--baud", "115200"};
    QTest::newRow("small remains, paced")
        << paced << QByteArray("{abc") << QByteArray("{x}") << QByteArray("{x}") << 4;
    QTest::newRow("4 KiB remains, paced") << paced << QByteArray('{' + QByteArray(4096, 'p'))
                                          << QByteArray("{x}") << QByteArray("{x}") << 4097;
    QTest::newRow("a record, then 6 KiB remains, paced")
        << paced << QByteArray("{a}{" + QByteArray(6144, 'p')) << QByteArray("{x}")
        << QByteArray("{a}{x}") << 6145;
    QTest::newRow("small remains, unpaced")
        << QStringList{} << QByteArray("{abc") << QByteArray("{x}") << QByteArray("{x}") << 4;
    QTest::newRow("3 KiB remains, then 3 KiB, unpaced")
        << QStringList{} << QByteArray('{' + QByteArray(3072, 'p')) << record(3072, 'n')
        << record(3072, 'n') << 3073;
}

void TestSim::dropsRecordCutOffByHostClose() {
    QFETCH(QStringList, args);
    QFETCH(QByteArray, cutOff);
    QFETCH(QByteArray, next);
    QFETCH(QByteArray, saved);
    QFETCH(int, droppedBytes);

    testsupport::TempFiles files;
    const QString savePath = files.path("saved.bin");
    SimProcess sim;
    QVERIFY(sim.start(QStringList{"-v", "--save", savePath} + args));
    {
        HostPort first(sim.port());
        QVERIFY(first.isOpen());
        QVERIFY(first.write(cutOff));
    }
    // About as long as a host killed and started again takes at the least; far below the line's
    // 500 ms idle drop. The device learns of the close when it wakes, so a host back before then
    // would be taken for the same one.
    QThread::msleep(50);
    const int records = saved.count('}');
    QByteArray answered;
    {
        HostPort second(sim.port());
        QVERIFY(second.isOpen());
        QVERIFY(second.write(next));
        answered = QStringLiteral("record %1 (%2 bytes): acknowledged")
                       .arg(records)
                       .arg(next.size())
                       .toLatin1();
        // Failing, it goes on to show what the simulator said.
        (void)QTest::qWaitFor([&] { return sim.errorOutput().contains(answered); }, 3000);
    }
    QVERIFY(sim.stop(SIGTERM));
    QVERIFY2(sim.errorOutput().contains(answered), sim.errorOutput().constData());
    QCOMPARE(readFile(savePath), saved);
    const QStringList lines =
        QString::fromLocal8Bit(sim.errorOutput()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.count(
                 QStringLiteral("dropped an unfinished record (%1 bytes): the host closed the port")
                     .arg(droppedBytes)),
             1);
    QVERIFY2(lines.last().contains(
                 QStringLiteral("records: %1 received, %1 acknowledged, 0 refused;").arg(records)),
             qPrintable(lines.last()));
}

// The reply observer runs once every byte of the reply has been written to the host.
void TestSim::replyObserverSeesWholeReply_data() {
    QTest::addColumn<int>("baud");
    QTest::addColumn<SimDevice::Reply>("reply");

    const QByteArray ack = SimDevice::acknowledgement();
    QTest::newRow("one write, unpaced") << 0 << SimDevice::Reply{{0, ack}};
    QTest::newRow("one write, paced") << 115200 << SimDevice::Reply{{0, ack}};
    QTest::newRow("in two parts 200 ms apart, paced") << 115200 << SimDevice::split(ack, 200);
    QTest::newRow("300 ms late, paced") << 115200 << SimDevice::Reply{{300, ack}};
    QTest::newRow("2 KiB, paced") << 115200 << SimDevice::Reply{{0, QByteArray(2048, 'r')}};
}

void TestSim::replyObserverSeesWholeReply() {
    QFETCH(int, baud);
    QFETCH(SimDevice::Reply, reply);

    int replySize = 0;
    for (const SimDevice::Chunk &chunk : reply)
        replySize += chunk.bytes.size();

    SimDevice device;
    device.setPacing(baud);
    device.setResponder([reply](const SimDevice::Received &) { return reply; });
    QVERIFY(device.start());
    HostPort host(device.portName());
    QVERIFY(host.isOpen());
    std::atomic<int> calls{0};
    std::atomic<int> waitingThen{-1};
    device.setReplyObserver([&](const SimDevice::Received &message) {
        // The terminal passes written bytes on to the host's end a moment later; a reply
        // written whole is all there within a few milliseconds (a busy host: 100 ms), one still to
        // be written (2 KiB take 178 ms at 115200 baud, a late one 300 ms) is not.
        QElapsedTimer clock;
        clock.start();
        int waiting = host.waiting();
        while (waiting < replySize && clock.elapsed() < 100) {
            QThread::usleep(200);
            waiting = host.waiting();
        }
        if (message.kind == SimDevice::Received::Record && message.index == 0)
            waitingThen = waiting;
        ++calls;
    });
    QVERIFY(host.write("{r}"));
    QTRY_COMPARE_WITH_TIMEOUT(calls.load(), 1, 5000);
    QCOMPARE(waitingThen.load(), replySize);
    QCOMPARE(device.replyCount(), 1);
    QCOMPARE(host.read(replySize + 1, 100).size(), replySize);
}

// Replies still to be written when the device stops are never written, nor reported.
void TestSim::stopWritesNoPendingReply_data() {
    QTest::addColumn<int>("baud");
    QTest::addColumn<SimDevice::Reply>("reply");
    QTest::addColumn<int>("stopAfterMs");
    QTest::addColumn<int>("mostWritten");

    const QByteArray ack = SimDevice::acknowledgement();
    QTest::newRow("due in 400 ms, unpaced") << 0 << SimDevice::Reply{{400, ack}} << 100 << 0;
    QTest::newRow("due in 400 ms, paced") << 115200 << SimDevice::Reply{{400, ack}} << 100 << 0;
    QTest::newRow("second part due in 400 ms") << 115200 << SimDevice::split(ack, 400) << 100 << 1;
    QTest::newRow("4 KiB half on the line")
        << 115200 << SimDevice::Reply{{0, QByteArray(4096, 'r')}} << 150 << 3000;
}

void TestSim::stopWritesNoPendingReply() {
    QFETCH(int, baud);
    QFETCH(SimDevice::Reply, reply);
    QFETCH(int, stopAfterMs);
    QFETCH(int, mostWritten);

    SimDevice device;
    device.setPacing(baud);
    device.setResponder([reply](const SimDevice::Received &) { return reply; });
    std::atomic<int> calls{0};
    device.setReplyObserver([&](const SimDevice::Received &) { ++calls; });
    QVERIFY(device.start());
    HostPort host(device.portName());
    QVERIFY(host.isOpen());
    QVERIFY(host.write("{r}"));
    QTRY_COMPARE_WITH_TIMEOUT(device.records().size(), 1, 5000);
    QTest::qWait(stopAfterMs);
    device.stop();
    const QByteArray written = host.read(1 << 16, 100);
    QVERIFY2(written.size() <= mostWritten, qPrintable(QString::number(written.size())));
    QCOMPARE(calls.load(), 0);
    QCOMPARE(device.replyCount(), 0);
}

// A slow device takes records written back to back at once, holds them, and answers them in
// turn, each its own time after the answer before; a record sent twice is the same one again.
void TestSim::slowDeviceAnswersInTurn_data() {
    QTest::addColumn<QList<QByteArray>>("records");
    QTest::addColumn<sim::Faults>("faults");
    QTest::addColumn<QList<int>>("dueMs"); // each answer at the earliest, after the last byte

    const QList<QByteArray> three{"{a}", "{b}", "{c}"};
    sim::Faults faults{false, 0, false, 0, 200};
    faults.firstProcessMs = 600;
    QTest::newRow("an erase, then the writes") << three << faults << QList<int>{600, 800, 1000};
    faults = {false, 0, false, 0, 100};
    faults.recordCount = 3;
    faults.lastProcessMs = 500;
    QTest::newRow("a slow last record") << three << faults << QList<int>{100, 200, 700};
    faults.lastProcessMs = sim::Chaos::kNever;
    QTest::newRow("the last never answered") << three << faults << QList<int>{100, 200};
    // The repeat is the first record again, in the time of any other: not the last.
    faults = {false, 0, false, 0, 500};
    faults.firstProcessMs = 400;
    faults.recordCount = 2;
    faults.lastProcessMs = 0;
    QTest::newRow("the first sent twice")
        << QList<QByteArray>{"{a}", "{a}", "{b}"} << faults << QList<int>{400, 900, 900};
}

void TestSim::slowDeviceAnswersInTurn() {
    QFETCH(QList<QByteArray>, records);
    QFETCH(sim::Faults, faults);
    QFETCH(QList<int>, dueMs);

    Behaviour behaviour(faults);
    std::atomic<int> heldAtFirstAnswer{-1};
    SimDevice device;
    device.setResponder([&](const SimDevice::Received &m) { return behaviour.answer(m).reply; });
    device.setReplyObserver([&](const SimDevice::Received &) {
        int none = -1;
        heldAtFirstAnswer.compare_exchange_strong(none, device.records().size());
    });
    QVERIFY(device.start());
    HostPort host(device.portName());
    QVERIFY(host.isOpen());
    QElapsedTimer clock;
    clock.start();
    QVERIFY(host.write(records.join()));
    QByteArray replies;
    QList<qint64> wholeAtMs; // when each acknowledgement was all there, at the latest
    while (wholeAtMs.size() < dueMs.size() && clock.elapsed() < dueMs.last() + 5000) {
        replies += host.read(1, 100);
        while (wholeAtMs.size() < replies.size() / 3)
            wholeAtMs.append(clock.elapsed());
    }
    QCOMPARE(replies, SimDevice::acknowledgement().repeated(dueMs.size()));
    for (int i = 0; i < dueMs.size(); ++i)
        QVERIFY2(wholeAtMs[i] >= dueMs[i], qPrintable(QString::number(wholeAtMs[i])));
    QCOMPARE(host.read(1, 400), QByteArray());
    QCOMPARE(heldAtFirstAnswer.load(), records.size());
}

// The program's --save and --report hold each record as often as the device took it, in order.
void TestSim::reportsEachRecordAsOftenAsHeld() {
    testsupport::TempFiles files;
    const QString saved = files.path("saved.bin");
    const QString report = files.path("report.json");
    SimProcess sim;
    QVERIFY(sim.start({"--save", saved, "--report", report, "--process-first", "1200", "--records",
                       "2", "--process-last", "none"}));
    {
        HostPort host(sim.port());
        QVERIFY(host.isOpen());
        QVERIFY(host.write("{a}{a}{b}"));
        QCOMPARE(host.read(7, 3000), SimDevice::acknowledgement().repeated(2));
    }
    QVERIFY(sim.stop());
    QCOMPARE(readFile(saved), QByteArray("{a}{a}"));
    const QJsonObject object = QJsonDocument::fromJson(readFile(report)).object();
    QCOMPARE(object.value("held").toArray(), (QJsonArray{1, 1}));
    // The first answered past the window, the last never.
    QCOMPARE(object.value("past_window").toInt(-1), 2);
}

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
