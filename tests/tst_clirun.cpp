// bootloader-cli against bootloader-sim as a user runs it: several ports at once, interrupts,
// late ports, a reader of the output that goes away, and the JSON events, parsed.

#include "programs.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace programs;
using programs::Result;
using programs::runCli;
using programs::SimProcess;

class TestCliRun : public QObject {
    Q_OBJECT

private slots:
    void threePortsOneSilent();
    void interruptThenUploadAgain_data();
    void interruptThenUploadAgain();
    void waitsForLatePort();
    void portInUseNamesItsHolder_data();
    void portInUseNamesItsHolder();
    void info_data();
    void info();
    void fileNameNotUtf8();

    void lateLinksToOneDevice();
    void lostReaderDoesNotCutUploadShort_data();
    void lostReaderDoesNotCutUploadShort();
    void refusedImageEndsWithSummary_data();
    void refusedImageEndsWithSummary();
    void portNameNotUtf8();
    void unitCommandNamesBoard_data();
    void unitCommandNamesBoard();
};

void TestCliRun::threePortsOneSilent() {
    testsupport::TempFiles files;
    const QByteArray image = recordsImage(4);
    const QString imagePath = files.write("image.bin", image);
    SimProcess first, silent, third;
    QVERIFY(first.start({"--save", files.path("first.bin")}));
    QVERIFY(silent.start({"--silent"}));
    QVERIFY(third.start({"--save", files.path("third.bin")}));

    const Result result =
        runCli({"--json", "upload", first.port(), silent.port(), third.port(), imagePath}, 30000);
    QVERIFY(result.finished);
    // The first port, in the order given, that did not load gives the code.
    QCOMPARE(result.exitCode, 1);
    const QList<QJsonObject> events = parseLines(result.out);
    QCOMPARE(ofKind(events, "start").size(), 3);
    const QString sha =
        QCryptographicHash::hash(programs::recordsOf(image), QCryptographicHash::Sha256).toHex();
    for (const QJsonObject &start : ofKind(events, "start")) {
        QCOMPARE(start.value("records").toInt(), 4);
        QCOMPARE(start.value("sha256").toString(), sha);
    }
    QMap<QString, QJsonObject> results;
    for (const QJsonObject &event : ofKind(events, "result"))
        results.insert(event.value("port").toString(), event);
    QCOMPARE(results.size(), 3);
    for (const QString &port : {first.port(), third.port()}) {
        QCOMPARE(results[port].value("ok").toBool(), true);
        QCOMPARE(results[port].value("outcome").toString(), "Firmware loaded!");
        QCOMPARE(results[port].value("acknowledged").toInt(), 4);
        QCOMPARE(results[port].value("exit").toInt(), 0);
    }
    QCOMPARE(results[silent.port()].value("ok").toBool(), false);
    QCOMPARE(results[silent.port()].value("outcome").toString(), "Firmware not loaded");
    QCOMPARE(results[silent.port()].value("exit").toInt(), 1);
    QCOMPARE(events.last().value("event").toString(), "summary");
    QCOMPARE(events.last().value("loaded").toInt(), 2);
    QCOMPARE(events.last().value("failed").toInt(), 1);
    // Each progress stream ends at 100% for the boards that loaded.
    const QList<QJsonObject> progress = ofKind(events, "progress");
    QCOMPARE(progress.size(), 8);

    // A summary row per port, in the order given, after the outcomes.
    const QStringList lines = result.errLines();
    QVERIFY(lines.size() >= 4);
    // Columns are padded to the longest port name (/dev/pts/9 beside /dev/pts/10).
    QVERIFY(lines.at(lines.size() - 3).simplified().startsWith(first.port() + " Firmware loaded!"));
    QVERIFY(
        lines.at(lines.size() - 2).simplified().startsWith(silent.port() + " Firmware not loaded"));
    QVERIFY(lines.at(lines.size() - 1).simplified().startsWith(third.port() + " Firmware loaded!"));

    QVERIFY(first.stop());
    QVERIFY(third.stop());
    QCOMPARE(readFile(files.path("first.bin")), programs::recordsOf(image));
    QCOMPARE(readFile(files.path("third.bin")), programs::recordsOf(image));
}

void TestCliRun::interruptThenUploadAgain_data() {
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("SIGINT") << int(SIGINT) << 130;
    QTest::newRow("SIGTERM") << int(SIGTERM) << 143;
    QTest::newRow("SIGHUP") << int(SIGHUP) << 143;
}

void TestCliRun::interruptThenUploadAgain() {
    QFETCH(int, signalNumber);
    QFETCH(int, exitCode);
    testsupport::TempFiles files;
    const QString imagePath = files.write("image.bin", recordsImage(40));
    SimProcess sim;
    QVERIFY(sim.start({"--delay", "50"}));

    CliProcess cli;
    QVERIFY(cli.start({"--json", "upload", sim.port(), imagePath}));
    QVERIFY(cli.waitForEvent(
        [](const QJsonObject &event) { return event.value("acknowledged").toInt() >= 2; }));
    cli.signal(signalNumber);
    QCOMPARE(cli.finish(), exitCode);
    const QList<QJsonObject> results = ofKind(cli.events(), "result");
    QCOMPARE(results.size(), 1);
    const int acknowledged = results[0].value("acknowledged").toInt();
    QVERIFY(acknowledged >= 2 && acknowledged < 40);
    QCOMPARE(results[0].value("interrupted").toBool(), true);
    QCOMPARE(results[0].value("exit").toInt(), exitCode);
    // The progress stream and the count agree.
    QCOMPARE(ofKind(cli.events(), "progress").last().value("acknowledged").toInt(), acknowledged);
    QCOMPARE(cli.errLines().last(),
             QStringLiteral("Interrupted: %1 of 40 records acknowledged on %2")
                 .arg(acknowledged)
                 .arg(sim.port()));

    // The port was released: the next upload takes it at once.
    const Result again =
        runCli({"-q", "upload", sim.port(), files.write("small.bin", recordsImage(2))});
    QCOMPARE(again.exitCode, 0);
}

void TestCliRun::waitsForLatePort() {
    testsupport::TempFiles files;
    const QString imagePath = files.write("image.bin", recordsImage(3));
    const QString link = files.path("board");
    CliProcess cli;
    QVERIFY(cli.start({"--json", "--wait", "5", "upload", link, imagePath}));
    // Ten of the tool's looks for the port go by first.
    QTest::qWait(1000);
    SimProcess sim;
    QVERIFY(sim.start());
    QVERIFY(QFile::link(sim.port(), link));
    QCOMPARE(cli.finish(), 0);
    QCOMPARE(ofKind(cli.events(), "summary").value(0).value("loaded").toInt(), 1);
}

void TestCliRun::portInUseNamesItsHolder_data() {
    QTest::addColumn<QStringList>("holder"); // the program and its arguments; PORT: the port
    QTest::addColumn<QString>("cause");
    QTest::newRow("another copy of the tool") << QStringList{BOOTLOADER_PORTHELPER, "hold", "PORT"}
                                              << "%1 is in use by porthelper (pid %2)";
    // No lock file names it: the system's word on who has the device open does.
    QTest::newRow("locked by another program")
        << QStringList{"flock", "--close", "PORT", "sh", "-c", "echo held; exec cat"}
        << "%1 is in use; it is open in flock (pid %2)";
}

// Whatever holds the port, the cause is that it is busy, and who holds it: never a missing port.
void TestCliRun::portInUseNamesItsHolder() {
    QFETCH(QStringList, holder);
    QFETCH(QString, cause);
    testsupport::TempFiles files;
    const QString imagePath = files.write("image.bin", recordsImage(2));
    SimProcess sim;
    QVERIFY(sim.start());
    QProcess holding;
    holding.start(holder.takeFirst(), holder.replaceInStrings("PORT", sim.port()));
    QVERIFY(holding.waitForReadyRead(5000));
    const qint64 holderPid = holding.processId();
    const Result result = runCli({"--json", "upload", sim.port(), imagePath});
    holding.closeWriteChannel();
    holding.waitForFinished(5000);
    QCOMPARE(result.exitCode, 3);
    QCOMPARE(ofKind(parseLines(result.out), "result").value(0).value("cause_kind"), "port-busy");
    QCOMPARE(result.errLines().last(), cause.arg(sim.port()).arg(holderPid));
    QVERIFY2(!result.err.contains("no such port"), result.err.constData());
}

void TestCliRun::info_data() {
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<int>("records");
    QTest::addColumn<int>("bytes");
    QTest::addColumn<int>("outside");
    QTest::addColumn<int>("unclosed");

    QTest::newRow("records and filler") << QByteArray("x{ab}\n{c{d}yy") << 2 << 9 << 4 << 0;
    QTest::newRow("ends in an unclosed record") << QByteArray("{ab}{cd") << 1 << 4 << 3 << 3;
}

void TestCliRun::info() {
    QFETCH(QByteArray, image);
    QFETCH(int, records);
    QFETCH(int, bytes);
    QFETCH(int, outside);
    QFETCH(int, unclosed);
    testsupport::TempFiles files;
    const QString path = files.write("image.bin", image);
    const Result result = runCli({"info", "--json", path});
    QCOMPARE(result.exitCode, 0);
    const QList<QJsonObject> lines = parseLines(result.out);
    QCOMPARE(lines.size(), 1);
    const QJsonObject info = lines[0];
    QCOMPARE(info.value("records").toInt(), records);
    QCOMPARE(info.value("bytes").toInt(), bytes);
    QCOMPARE(info.value("outside").toInt(), outside);
    QCOMPARE(info.value("unclosed").toInt(), unclosed);
    QCOMPARE(
        info.value("sha256").toString(),
        QCryptographicHash::hash(programs::recordsOf(image), QCryptographicHash::Sha256).toHex());
    // Wire time at 115200 (10 bits a byte, with the 3-byte replies) plus 50 ms a record.
    QCOMPARE(info.value("seconds").toDouble(),
             std::round(((bytes + 3 * records) * 10 / 115200.0 + 0.05 * records) * 1000) / 1000);
    QCOMPARE(result.errLines().isEmpty(), unclosed == 0);
}

void TestCliRun::fileNameNotUtf8() {
    testsupport::TempFiles files;
    files.write("placeholder", "");
    const QByteArray name = QFile::encodeName(files.path("")) + "/\xff\xfe.bin";
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT, 0644);
    QVERIFY(fd >= 0);
    const QByteArray image = recordsImage(2);
    QCOMPARE(::write(fd, image.constData(), size_t(image.size())), ssize_t(image.size()));
    ::close(fd);
    SimProcess sim;
    QVERIFY(sim.start());
    // Through the shell, since a process's arguments are given here as text.
    const Result result =
        programs::run("/bin/sh", {"-c",
                                  QStringLiteral("exec \"$0\" -q upload \"$1\" \"$2\"/\"$(printf "
                                                 "'\\377\\376')\".bin"),
                                  programs::cliPath(), sim.port(), files.path("")});
    ::unlink(name.constData());
    QCOMPARE(result.exitCode, 0);
}

// Two names that appear after the start and lead to one device: one upload, and the other
// name says whose device it is.
void TestCliRun::lateLinksToOneDevice() {
    testsupport::TempFiles files;
    const QByteArray image = recordsImage(8);
    const QString imagePath = files.write("image.bin", image);
    const QString first = files.path("la");
    const QString second = files.path("lb");
    CliProcess cli;
    QVERIFY(cli.start({"--json", "--wait", "5", "upload", first, second, imagePath}));
    QTest::qWait(500);
    SimProcess sim;
    // Answers slowly enough that the upload through one name still runs, with short reply
    // windows too, when the tool finds the other (it looks every 100 ms).
    QVERIFY(sim.start({"--delay", "100", "--save", files.path("saved.bin")}));
    QVERIFY(QFile::link(sim.port(), first));
    QVERIFY(QFile::link(sim.port(), second));
    QCOMPARE(cli.finish(), 3);

    QList<QJsonObject> results = ofKind(cli.events(), "result");
    QCOMPARE(results.size(), 2);
    if (!results[0].value("ok").toBool())
        std::swap(results[0], results[1]);
    QCOMPARE(results[0].value("ok").toBool(), true);
    QCOMPARE(results[1].value("exit").toInt(), 3);
    QCOMPARE(results[1].value("cause").toString(), results[1].value("port").toString() +
                                                       " is the same device as " +
                                                       results[0].value("port").toString());
    QCOMPARE(cli.events().last().value("loaded").toInt(), 1);
    QCOMPARE(cli.events().last().value("failed").toInt(), 1);
    QVERIFY(sim.stop());
    QCOMPARE(readFile(files.path("saved.bin")), programs::recordsOf(image));
}

// A reader that goes after the first line, or stops reading, does not cut the upload short: the
// device gets the whole image, the log its line, and the lost output is told by exit code 74
// (or a stop ends the tool at once, the writer stuck or not).
void TestCliRun::lostReaderDoesNotCutUploadShort_data() {
    QTest::addColumn<QString>("pipeline");
    QTest::addColumn<int>("records");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("events") << "\"$0\" --json upload \"$1\" \"$2\" --log \"$4\" | head -1" << 20
                            << 74;
    QTest::newRow("events and text")
        << "\"$0\" --json upload \"$1\" \"$2\" --log \"$4\" 2>&1 | head -1" << 20 << 74;
    QTest::newRow("station") << "\"$0\" --json station \"$2\" --match \"$3\" --log \"$4\" | head -1"
                             << 20 << 74;
    // A reader that stops reading, far more than a pipe holds: the upload goes on to its end,
    // and SIGTERM ends the tool at once (or it is killed: 137).
    QTest::newRow("stopped reader")
        << "exec 3> >(exec sleep 60); r=$!; \"$0\" -v --json upload \"$1\" \"$2\" --log \"$4\" "
           ">&3 2>&3 & c=$!; exec 3>&-; for i in $(seq 300); do [ -s \"$4\" ] && break; sleep "
           "0.1; done; kill $c; for i in $(seq 30); do kill -0 $c 2>/dev/null || break; sleep 0.1; "
           "done; "
           "kill -9 $c $r 2>/dev/null; wait $c"
        << 600 << 143;
}

void TestCliRun::lostReaderDoesNotCutUploadShort() {
    QFETCH(QString, pipeline);
    QFETCH(int, records);
    QFETCH(int, exitCode);
    testsupport::TempFiles files;
    const QByteArray image = recordsImage(records);
    const QString imagePath = files.write("image.bin", image);
    SimProcess sim;
    QVERIFY(sim.start({"--save", files.path("saved.bin")}));
    QVERIFY(QFile::link(sim.port(), files.path("board")));
    const Result result =
        programs::run("/bin/bash",
                      {"-c", pipeline + " >/dev/null; exit ${PIPESTATUS[0]}", programs::cliPath(),
                       sim.port(), imagePath, files.path("board*"), files.path("log")},
                      60000);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(readFile(files.path("log")).count("\"result\":\"loaded\""), 1);
    QVERIFY(!lockFileLeft(sim.port()));
    QVERIFY(sim.stop());
    QCOMPARE(readFile(files.path("saved.bin")), programs::recordsOf(image));
}

void TestCliRun::refusedImageEndsWithSummary_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("failed");
    QTest::newRow("upload") << QStringList{"upload", "/dev/no-port-a", "/dev/no-port-b"} << 2;
    QTest::newRow("station") << QStringList{"station", "--match", "/dev/no-port*"} << 0;
}

void TestCliRun::refusedImageEndsWithSummary() {
    QFETCH(QStringList, args);
    QFETCH(int, failed);
    testsupport::TempFiles files;
    const QString empty = files.write("empty.bin", "");
    const Result result = runCli(QStringList{"--json"} + args + QStringList{empty});
    QCOMPARE(result.exitCode, 2);
    const QList<QJsonObject> events = parseLines(result.out);
    QVERIFY(!events.isEmpty());
    QCOMPARE(events.last(), (QJsonObject{{"event", "summary"}, {"loaded", 0}, {"failed", failed}}));
}

void TestCliRun::portNameNotUtf8() {
    testsupport::TempFiles files;
    files.write("placeholder", "");
    SimProcess sim;
    QVERIFY(sim.start({"--save", files.path("saved.bin")}));
    const QByteArray name = QFile::encodeName(files.path("")) + "/\xff\xfe";
    QCOMPARE(::symlink(QFile::encodeName(sim.port()).constData(), name.constData()), 0);
    const QString imagePath = files.write("image.bin", recordsImage(2));
    const Result result = programs::run(
        "/bin/sh",
        {"-c", QStringLiteral("exec \"$0\" -q upload \"$1\"/\"$(printf '\\377\\376')\" \"$2\""),
         programs::cliPath(), files.path(""), imagePath});
    ::unlink(name.constData());
    QCOMPARE(result.exitCode, 0);
    QVERIFY(sim.stop());
    QCOMPARE(readFile(files.path("saved.bin")), programs::recordsOf(recordsImage(2)));
}

// "%1" in unit (the unit the record and the result event carry; empty: the board fails) and in
// cause is the port.
void TestCliRun::unitCommandNamesBoard_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QString>("cause");
    QTest::newRow("first line, trimmed, of the board's identity")
        << "printf ' %s|%s|%s \\nSN-9\\n' \"$BOOTLOADER_PORT\" \"$BOOTLOADER_PATH\" "
           "\"$BOOTLOADER_SLOT\""
        << "%1|%1|" << QString();
    QTest::newRow("exit 3") << "echo SN-1; exit 3" << QString()
                            << "the unit command for %1 failed: exit 3";
    QTest::newRow("printed nothing")
        << "echo '   '" << QString() << "the unit command for %1 printed nothing";
}

void TestCliRun::unitCommandNamesBoard() {
    QFETCH(QString, command);
    QFETCH(QString, unit);
    QFETCH(QString, cause);
    testsupport::TempFiles files;
    const QByteArray image = recordsImage(3);
    const QString logPath = files.path("results.jsonl");
    SimProcess sim;
    QVERIFY(sim.start({"--save", files.path("saved.bin")}));
    const Result result = runCli({"--json", "--log", logPath, "--unit-command", command, "upload",
                                  sim.port(), files.write("image.bin", image)},
                                 30000);
    QVERIFY(result.finished);
    const QList<QJsonObject> told =
        ofKind(parseLines(result.out), "result") + parseLines(readFile(logPath));
    QCOMPARE(told.size(), 2);
    QVERIFY(sim.stop());
    QCOMPARE(result.exitCode, unit.isEmpty() ? 1 : 0);
    for (const QJsonObject &board : told) {
        QCOMPARE(board.value("unit").toString(), QString(unit).replace("%1", sim.port()));
        QCOMPARE(board.value("unit").isNull(), unit.isEmpty());
        QCOMPARE(board.value("cause").toString(), QString(cause).replace("%1", sim.port()));
    }
    // A board of no known unit is failed before the upload: the device got no record.
    QCOMPARE(readFile(files.path("saved.bin")),
             unit.isEmpty() ? QByteArray() : programs::recordsOf(image));
}

QTEST_GUILESS_MAIN(TestCliRun)
#include "tst_clirun.moc"
