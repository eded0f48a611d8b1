// A station as a production line runs it: boards as they appear, what is no board passed over,
// boards swapped in, the results log, the image's digest and batches.

#include "programs.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace programs;

namespace {

// Simulated boards, each with a link DIR/boardN to its port and its saved records.
struct Boards {
    std::vector<std::unique_ptr<SimProcess>> sims;
    bool add(const testsupport::TempFiles &files, int n) {
        sims.push_back(std::make_unique<SimProcess>());
        return sims.back()->start({"--save", files.path(QStringLiteral("saved%1.bin").arg(n))}) &&
               QFile::link(sims.back()->port(), files.path(QStringLiteral("board%1").arg(n)));
    }
};

// The log's lines, each parsed; a line that does not parse comes out empty.
QList<QJsonObject> logLines(const QString &path) {
    QList<QJsonObject> lines;
    const QList<QByteArray> raw = readFile(path).split('\n');
    for (int i = 0; i + 1 < raw.size(); ++i)
        lines << QJsonDocument::fromJson(raw[i]).object();
    return lines;
}

} // namespace

class TestStation : public QObject {
    Q_OBJECT

private slots:
    void stationFlashesBoardsAsTheyAppear();
    void stationPassesOverWhatIsNoBoard();
    void stationTakesBoardSwappedInDuringUpload();
    void stationTakesEachBoardOnce_data();
    void stationTakesEachBoardOnce();
    void logHoldsEveryBoardReported();
    void refusesImageOfAnotherDigest_data();
    void refusesImageOfAnotherDigest();
    void batchEndsAfterCount();
    void unwritableLogTakesNoBoard_data();
    void unwritableLogTakesNoBoard();
    void foreignLockOnLogYieldsToStop();
};

void TestStation::stationFlashesBoardsAsTheyAppear() {
    testsupport::TempFiles files;
    const QByteArray image = recordsImage(3);
    const QString imagePath = files.write("image.bin", image);
    CliProcess station;
    QVERIFY(station.start({"--json", "station", imagePath, "--match", files.path("board*")}));

    std::vector<std::unique_ptr<SimProcess>> boards;
    for (int i = 1; i <= 2; ++i) {
        boards.push_back(std::make_unique<SimProcess>());
        const QString saved = files.path(QStringLiteral("saved%1.bin").arg(i));
        QVERIFY(boards.back()->start({"--save", saved}));
        const QString link = files.path(QStringLiteral("board%1").arg(i));
        QVERIFY(QFile::link(boards.back()->port(), link));
        QVERIFY(station.waitForEvent([&](const QJsonObject &event) {
            return event.value("event") == "result" && event.value("port") == link;
        }));
    }
    // Each board once, though it stays present.
    QTest::qWait(600);
    station.signal(SIGINT);
    QCOMPARE(station.finish(), 0);
    const QList<QJsonObject> results = ofKind(station.events(), "result");
    QCOMPARE(results.size(), 2);
    for (const QJsonObject &result : results)
        QCOMPARE(result.value("outcome").toString(), "Firmware loaded!");
    const QJsonObject summary = station.events().last();
    QCOMPARE(summary.value("event").toString(), "summary");
    QCOMPARE(summary.value("loaded").toInt(), 2);
    QCOMPARE(summary.value("failed").toInt(), 0);
    for (int i = 1; i <= 2; ++i) {
        QVERIFY(boards[size_t(i - 1)]->stop());
        QCOMPARE(readFile(files.path(QStringLiteral("saved%1.bin").arg(i))),
                 programs::recordsOf(image));
    }
}

// A station on a folder of everything but boards opens none of it, counts none of it, and
// loads the board (once, though two names lead to it).
void TestStation::stationPassesOverWhatIsNoBoard() {
    testsupport::TempFiles files;
    const QByteArray image = recordsImage(3);
    const QString imagePath = files.write("image.bin", image);
    const QString dir = files.path("ports");
    QVERIFY(QDir().mkpath(dir));
    files.write("ports/file", "{old}");
    const QByteArray fifoName = QFile::encodeName(dir + "/fifo");
    QCOMPARE(::mkfifo(fifoName.constData(), 0600), 0);
    const int fifo = ::open(fifoName.constData(), O_RDONLY | O_NONBLOCK);
    QVERIFY(fifo >= 0);
    const auto closeFifo = qScopeGuard([fifo] { ::close(fifo); });
    programs::BoundSocket socket;
    QVERIFY(socket.bind(dir + "/socket"));
    QVERIFY(QFile::link("/dev/null", dir + "/null"));
    QVERIFY(QFile::link("/dev/ptmx", dir + "/ptmx"));
    SimProcess sim;
    QVERIFY(sim.start({"--save", files.path("saved.bin")}));
    QVERIFY(QFile::link(sim.port(), dir + "/board"));
    QVERIFY(QFile::link(sim.port(), dir + "/board-again"));

    CliProcess station;
    QVERIFY(station.start({"-v", "--json", "station", imagePath, "--match", dir + "/*"}));
    QVERIFY(station.waitForEvent(
        [](const QJsonObject &event) { return event.value("event") == "result"; }));
    QTest::qWait(600);
    station.signal(SIGTERM);
    QCOMPARE(station.finish(), 0);
    const QList<QJsonObject> results = ofKind(station.events(), "result");
    QCOMPARE(results.size(), 1);
    QCOMPARE(results[0].value("port").toString(), dir + "/board");
    QCOMPARE(results[0].value("ok").toBool(), true);
    QCOMPARE(station.events().last().value("loaded").toInt(), 1);
    QCOMPARE(station.events().last().value("failed").toInt(), 0);

    const QStringList lines = station.errLines();
    for (const char *name : {"board-again", "fifo", "file", "null", "ptmx", "socket"}) {
        const QString passed = dir + '/' + QLatin1String(name) + ": passed over, ";
        QCOMPARE(lines.filter(passed).size(), 1);
    }
    char byte = 0;
    QCOMPARE(::read(fifo, &byte, 1), ssize_t(0));
    QCOMPARE(readFile(dir + "/file"), QByteArray("{old}"));
    QVERIFY(sim.stop());
    QCOMPARE(readFile(files.path("saved.bin")), programs::recordsOf(image));
}

// A board swapped in at the same name while the last upload there still runs is uploaded to
// once that upload has ended.
void TestStation::stationTakesBoardSwappedInDuringUpload() {
    testsupport::TempFiles files;
    const QByteArray image = recordsImage(15);
    const QString imagePath = files.write("image.bin", image);
    const QString link = files.path("board");
    SimProcess first, second;
    QVERIFY(first.start({"--delay", "100", "--save", files.path("first.bin")}));
    QVERIFY(second.start({"--save", files.path("second.bin")}));
    QVERIFY(QFile::link(first.port(), link));

    CliProcess station;
    QVERIFY(station.start({"--json", "station", imagePath, "--match", files.path("board*")}));
    QVERIFY(station.waitForEvent(
        [](const QJsonObject &event) { return event.value("acknowledged").toInt() >= 1; }));
    QVERIFY(QFile::remove(link));
    QTest::qWait(600);
    QVERIFY(QFile::link(second.port(), link));
    QVERIFY(station.waitForEvent(
        [&](const QJsonObject &) { return ofKind(station.events(), "result").size() == 2; }));
    station.signal(SIGINT);
    QCOMPARE(station.finish(), 0);

    const QList<QJsonObject> events = station.events();
    QStringList kinds;
    for (const QJsonObject &event : events) {
        if (event.value("event") != "progress")
            kinds << event.value("event").toString();
    }
    // Never two jobs on the name at once; the first board's device is gone once the name leads
    // to another.
    QCOMPARE(kinds, (QStringList{"start", "result", "gone", "start", "result", "summary"}));
    QCOMPARE(events.last().value("loaded").toInt(), 2);
    QVERIFY(first.stop());
    QVERIFY(second.stop());
    QCOMPARE(readFile(files.path("first.bin")), programs::recordsOf(image));
    QCOMPARE(readFile(files.path("second.bin")), programs::recordsOf(image));
}

void TestStation::stationTakesEachBoardOnce_data() {
    QTest::addColumn<QByteArray>("suffix");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("vanishes");
    QTest::newRow("name not valid UTF-8") << QByteArray("\xff") << "\\xff" << false;
    QTest::newRow("link gone 0.6 s mid-upload") << QByteArray() << QString() << true;
}

// A board is loaded once, under its name as the system gives it (in a folder made after the
// station started), also when its link goes away for a moment while its device stays.
void TestStation::stationTakesEachBoardOnce() {
    QFETCH(QByteArray, suffix);
    QFETCH(QString, shown);
    QFETCH(bool, vanishes);
    testsupport::TempFiles files;
    const QByteArray image = recordsImage(15);
    const QString imagePath = files.write("image.bin", image);
    SimProcess sim;
    QVERIFY(sim.start({"--delay", "100", "--save", files.path("saved.bin")}));
    const QByteArray target = QFile::encodeName(sim.port());
    const QByteArray link = QFile::encodeName(files.path("ports/board")) + suffix;
    CliProcess station;
    QVERIFY(station.start({"--json", "--log", files.path("results.log"), "station", imagePath,
                           "--match", files.path("ports/board*")}));
    QVERIFY(QDir().mkpath(files.path("ports")));
    QCOMPARE(::symlink(target.constData(), link.constData()), 0);
    if (vanishes) {
        QVERIFY(station.waitForEvent(
            [](const QJsonObject &event) { return event.value("acknowledged").toInt() >= 1; }));
        QCOMPARE(::unlink(link.constData()), 0);
        QTest::qWait(600);
        QCOMPARE(::symlink(target.constData(), link.constData()), 0);
    }
    QVERIFY(station.waitForEvent(
        [](const QJsonObject &event) { return event.value("event") == "result"; }));
    QTest::qWait(600);
    station.signal(SIGINT);
    QCOMPARE(station.finish(), 0);
    const QList<QJsonObject> results = ofKind(station.events(), "result");
    QCOMPARE(results.size(), 1);
    QCOMPARE(results[0].value("port").toString(), files.path("ports/board") + shown);
    QCOMPARE(logLines(files.path("results.log")).value(0).value("path").toString(),
             files.path("ports/board") + shown);
    QVERIFY(sim.stop());
    QCOMPARE(readFile(files.path("saved.bin")), programs::recordsOf(image));
}

// Killed outright mid-run, a station leaves a whole log line for every board it reported, each
// written before its result event; the next run ends a torn last line, and the report counts
// the boards alone.
void TestStation::logHoldsEveryBoardReported() {
    testsupport::TempFiles files;
    const QByteArray image = recordsImage(3);
    const QString imagePath = files.write("image.bin", image);
    const QString log = files.path("results.log");
    Boards boards;
    QVERIFY(boards.add(files, 1));
    QVERIFY(boards.add(files, 2));
    CliProcess station;
    QVERIFY(station.start({"--json", "--log", log, "--station", "line-1", "station", imagePath,
                           "--match", files.path("board*")}));
    int reported = 0;
    QVERIFY(station.waitForEvent([&](const QJsonObject &event) {
        reported += event.value("event") == "result" ? 1 : 0;
        // Every result reported so far is in the log already.
        if (event.value("event") == "result")
            [&] { QVERIFY(logLines(log).size() >= ofKind(station.events(), "result").size()); }();
        return ofKind(station.events(), "result").size() == 2;
    }));
    station.signal(SIGKILL);
    QCOMPARE(station.finish(), -1);

    QList<QJsonObject> lines = logLines(log);
    QCOMPARE(lines.size(), 2);
    const QString sha256 = QString::fromLatin1(
        QCryptographicHash::hash(recordsOf(image), QCryptographicHash::Sha256).toHex());
    for (const QJsonObject &line : lines) {
        QCOMPARE(line.value("record").toInt(), 1);
        QCOMPARE(line.value("result").toString(), "loaded");
        QCOMPARE(line.value("station").toString(), "line-1");
        // Every record went once, and the count of sends says so.
        QCOMPARE(line.value("sends").toInt(), line.value("records").toInt());
        QCOMPARE(line.value("sha256").toString(), sha256);
        QCOMPARE(line.value("image").toString(), imagePath);
        QCOMPARE(line.value("version").toString(), QStringLiteral(BOOTLOADER_EXPECTED_VERSION));
        QVERIFY(!line.value("host").toString().isEmpty());
        QVERIFY(QDateTime::fromString(line.value("time").toString(), Qt::ISODateWithMs).isValid());
        QVERIFY(line.value("time").toString().endsWith('Z'));
    }

    // A power cut mid-line, then a station started again: the torn line is ended, never joined
    // to the next, and left out of the report.
    QFile torn(log);
    QVERIFY(torn.open(QIODevice::Append));
    torn.write("{\"event\":\"res");
    torn.close();
    CliProcess again;
    QVERIFY(again.start({"--json", "--log", log, "--count", "1", "station", imagePath, "--match",
                         files.path("board3")}));
    QVERIFY(boards.add(files, 3));
    QCOMPARE(again.finish(), 0);
    lines = logLines(log);
    QCOMPARE(lines.size(), 4);
    QVERIFY(lines[2].isEmpty());
    QCOMPARE(lines[3].value("port").toString(), files.path("board3"));

    const Result report = runCli({"--json", "report", log});
    QCOMPARE(report.exitCode, 0);
    const QJsonObject summary = QJsonDocument::fromJson(report.out).object();
    QCOMPARE(summary.value("loaded").toInt(), 3);
    QCOMPARE(summary.value("failed").toInt(), 0);
    QCOMPARE(summary.value("skipped").toInt(), 1);
}

void TestStation::refusesImageOfAnotherDigest_data() {
    QTest::addColumn<QStringList>("command");
    QTest::newRow("upload") << QStringList{"upload", "<port>", "<image>"};
    QTest::newRow("station") << QStringList{"station", "<image>", "--match", "<port>"};
}

// A wrong digest is refused before any port is opened: the device gets nothing.
void TestStation::refusesImageOfAnotherDigest() {
    QFETCH(QStringList, command);
    testsupport::TempFiles files;
    const QString imagePath = files.write("image.bin", recordsImage(2));
    SimProcess sim;
    QVERIFY(sim.start());
    const QString wrong(64, QLatin1Char('a'));
    command.replaceInStrings("<port>", sim.port()).replaceInStrings("<image>", imagePath);
    const Result result = runCli(QStringList{"--json", "--sha256", wrong} + command);
    QCOMPARE(result.exitCode, 2);
    QVERIFY2(result.err.contains("SHA-256 is ") && result.err.contains(wrong.toLatin1()),
             result.err.constData());
    QCOMPARE(ofKind(parseLines(result.out), "summary").size(), 1);
    QVERIFY(sim.stop());
    QVERIFY(sim.errorOutput().contains("records: 0 received"));
}

// A batch of two among three boards present: two loaded, the third never touched.
void TestStation::batchEndsAfterCount() {
    testsupport::TempFiles files;
    const QByteArray image = recordsImage(2);
    const QString imagePath = files.write("image.bin", image);
    Boards boards;
    for (int n = 1; n <= 3; ++n)
        QVERIFY(boards.add(files, n));
    const Result result = runCli({"--json", "--log", files.path("results.log"), "--count", "2",
                                  "station", imagePath, "--match", files.path("board*")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(ofKind(parseLines(result.out), "result").size(), 2);
    QCOMPARE(logLines(files.path("results.log")).size(), 2);
    int loaded = 0;
    for (int n = 1; n <= 3; ++n) {
        QVERIFY(boards.sims[size_t(n - 1)]->stop());
        loaded += readFile(files.path(QStringLiteral("saved%1.bin").arg(n))) == recordsOf(image);
    }
    QCOMPARE(loaded, 2);
}

void TestStation::unwritableLogTakesNoBoard_data() {
    QTest::addColumn<QString>("fault");
    QTest::newRow("cannot be opened") << "no folder";
    QTest::newRow("full at the second board") << "full";
    QTest::newRow("folder removed while a board loads") << "removed";
}

// A log that cannot be written stops the line: with no log no board is loaded, and a log that
// fills up, or whose folder goes, ends the station at the board whose line it could not take;
// that board is reported, but never as on record.
void TestStation::unwritableLogTakesNoBoard() {
    QFETCH(QString, fault);
    const bool fromTheStart = fault == QLatin1String("no folder");
    testsupport::TempFiles files;
    const bool removed = fault == QLatin1String("removed");
    // Long enough (two seconds) to lose the log's folder while it loads.
    const QString imagePath = files.write("image.bin", recordsImage(removed ? 40 : 2));
    Boards boards;
    QVERIFY(boards.add(files, 1));
    const QStringList args{"--json", "station", imagePath, "--match", files.path("board*")};
    CliProcess station;
    if (fromTheStart) {
        QVERIFY(
            station.start(QStringList{"--log", files.path("no-such-folder/results.log")} + args));
    } else if (removed) {
        QVERIFY(QDir().mkpath(files.path("logs")));
        QVERIFY(station.start(QStringList{"--log", files.path("logs/results.log")} + args));
        QVERIFY(station.waitForEvent(
            [](const QJsonObject &event) { return event.value("event") == "start"; }));
        QVERIFY(QDir(files.path("logs")).removeRecursively());
    } else {
        // Files may grow to 1 KiB (bash counts in KiB): a line of about 450 bytes fits after these
        // 300, a second does not. The signal for a file grown too large is ignored, so the write
        // fails.
        const QString log = files.write("results.log", QByteArray(299, 'x') + '\n');
        QVERIFY(station.startProgram(
            "bash", QStringList{"-c", "ulimit -f 1; trap '' XFSZ; exec \"$0\" \"$@\"", cliPath(),
                                "--log", log} +
                        args));
        QVERIFY(station.waitForEvent(
            [](const QJsonObject &event) { return event.value("event") == "result"; }));
        QVERIFY(boards.add(files, 2));
    }
    QCOMPARE(station.finish(), 74);
    const QString err = station.errLines().join('\n');
    QVERIFY2(err.contains("cannot write the log"), qPrintable(err));
    const QList<QJsonObject> results = ofKind(station.events(), "result");
    QCOMPARE(results.size(), fromTheStart ? 0 : removed ? 1 : 2);
    if (fromTheStart) {
        QVERIFY(boards.sims.front()->stop());
        QCOMPARE(readFile(files.path("saved1.bin")), QByteArray());
    } else {
        // The board whose line was not written loaded, and is told as not on record.
        const QJsonObject last = results.last();
        QCOMPARE(last.value("ok").toBool(), true);
        QCOMPARE(last.value("on_record"), QJsonValue(false));
        QVERIFY2(err.contains("Firmware loaded, but not on record") &&
                     err.contains(last.value("port").toString() + "  not on the log "),
                 qPrintable(err));
    }
    if (fault == QLatin1String("full")) {
        QCOMPARE(results.first().value("on_record"), QJsonValue(true));
        // The first board's line is whole; the second's never is.
        const QList<QJsonObject> lines = logLines(files.path("results.log"));
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines[1].value("port").toString(), files.path("board1"));
    }
}

// Another program's lock on the log holds the station up, said with who holds it, but not its
// stop: a poll of the lock is a fiftieth of a second, the rest of the time allowed the host's.
void TestStation::foreignLockOnLogYieldsToStop() {
    testsupport::TempFiles files;
    const QString log = files.write("results.log", "");
    const int held = ::open(QFile::encodeName(log).constData(), O_RDONLY | O_CLOEXEC);
    QCOMPARE(::flock(held, LOCK_EX), 0);
    CliProcess station;
    QVERIFY(station.start({"--log", log, "station", files.write("image.bin", recordsImage(2)),
                           "--match", files.path("board*")}));
    QString err;
    for (QDeadlineTimer wait(10000); !wait.hasExpired() && !err.contains("waiting");
         QTest::qWait(50))
        err += station.errLines().join('\n');
    QVERIFY2(err.contains(QStringLiteral("the log %1 is locked by ").arg(log)) &&
                 err.contains(QStringLiteral("(pid %1)").arg(::getpid())),
             qPrintable(err));
    QElapsedTimer stopping;
    stopping.start();
    station.signal(SIGTERM);
    QCOMPARE(station.finish(), 143);
    QVERIFY2(stopping.elapsed() < 3000, qPrintable(QString::number(stopping.elapsed())));
    ::close(held);
}

QTEST_GUILESS_MAIN(TestStation)
#include "tst_station.moc"
