#include "behaviour.h"
#include "programs.h"
#include "testsupport.h"

#include <QRegularExpression>
#include <QtTest>

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
    case Behaviour::Verdict::Ignored:
        break;
    }
    return '-';
}

} // namespace

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
          "--process <ms>", "--baud <rate>", "--verbose", "--version"})
        QVERIFY2(text.contains(QLatin1String(option)), option);

    const Result version = programs::run(programs::simPath(), {"--version"}, 5000);
    QCOMPARE(version.exitCode, 0);
    QCOMPARE(version.out, QByteArray("bootloader-sim " BOOTLOADER_EXPECTED_VERSION "\n"));
}

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
