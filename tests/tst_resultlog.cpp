#include "resultlog.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUuid>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>

namespace {

QJsonObject resultLine(const QString &port, bool ok, const QString &serial, const QString &sha256,
                       const QString &cause = QString()) {
    return {{"event", "result"},
            {"port", port},
            {"path", port},
            {"serial", serial.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(serial)},
            {"ok", ok},
            {"outcome", ok ? "Firmware loaded!" : "Firmware not loaded"},
            {"cause", cause.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(cause)},
            {"sha256", sha256}};
}

QByteArray contentsOf(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestResultLog : public QObject {
    Q_OBJECT

private slots:
    void writersNeverMixWithinALine();
    void tornLastLineIsEndedAndLeftOut();
    void unwritableLogIsRefused();
    void followsItsPath_data();
    void followsItsPath();
    void reportSumsUp();
    void everyLineHasAnId();
};

// Two logs on one file, as two stations sharing it, each written from two threads: every line
// comes out whole, and none is lost.
void TestResultLog::writersNeverMixWithinALine() {
    testsupport::TempFiles files;
    const QString path = files.write("results.log", "{\"earlier\":true}\n");
    resultlog::ResultLog first;
    resultlog::ResultLog second;
    QString error;
    QVERIFY2(first.open(path, &error), qPrintable(error));
    QVERIFY2(second.open(path, &error), qPrintable(error));

    const QString padding(2000, QLatin1Char('x'));
    const auto write = [&](resultlog::ResultLog *log, int writer) {
        for (int i = 0; i < 100; ++i) {
            QString ignored;
            log->append({{"writer", writer}, {"line", i}, {"padding", padding}}, &ignored);
        }
    };
    std::thread a(write, &first, 0);
    std::thread b(write, &first, 1);
    std::thread c(write, &second, 2);
    std::thread d(write, &second, 3);
    a.join();
    b.join();
    c.join();
    d.join();

    const QList<QByteArray> lines = contentsOf(path).split('\n');
    QCOMPARE(lines.size(), 402); // the earlier line, 400 new ones, and the empty rest
    QCOMPARE(lines.first(), QByteArray("{\"earlier\":true}"));
    QVector<int> next(4, 0);
    for (int i = 1; i <= 400; ++i) {
        const QJsonObject line = QJsonDocument::fromJson(lines.at(i)).object();
        QVERIFY2(!line.isEmpty(), lines.at(i).left(80).constData());
        const int writer = line.value("writer").toInt();
        // Each writer's lines in the order written.
        QCOMPARE(line.value("line").toInt(), next[writer]++);
    }
    QVERIFY(lines.last().isEmpty());
}

void TestResultLog::tornLastLineIsEndedAndLeftOut() {
    testsupport::TempFiles files;
    const QByteArray whole =
        QJsonDocument(resultLine("/dev/ttyUSB0", true, "A1", "d1")).toJson(QJsonDocument::Compact);
    const QString path = files.write("results.log", whole + "\n{\"event\":\"res");
    resultlog::ResultLog log;
    QString error;
    QVERIFY(log.open(path, &error));
    QVERIFY(log.append(resultLine("/dev/ttyUSB1", false, "B2", "d1"), &error));

    const QByteArray contents = contentsOf(path);
    QVERIFY(contents.startsWith(whole + "\n{\"event\":\"res\n{"));
    QVERIFY(contents.endsWith("}\n"));
    const resultlog::Report report = resultlog::summarize(contents);
    QCOMPARE(report.loaded, 1);
    QCOMPARE(report.failed, 1);
    QCOMPARE(report.skipped, 1);

    // The disk takes only part of a line (files may grow by 20 bytes; the signal for a file grown
    // too large ignored), then has room again: the part is taken back, the next line reads.
    struct rlimit limit {};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    const struct rlimit was = limit;
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    limit.rlim_cur = rlim_t(contents.size() + 20);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    const bool taken = log.append(resultLine("/dev/ttyUSB2", true, "C3", "d1"), &error);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &was), 0);
    std::signal(SIGXFSZ, previous);
    QVERIFY(!taken && contentsOf(path) == contents);
    QVERIFY(log.append(resultLine("/dev/ttyUSB3", true, "D4", "d1"), &error));
    QCOMPARE(resultlog::summarize(contentsOf(path)).loaded, 2);
    QCOMPARE(resultlog::summarize(contentsOf(path)).skipped, 1);

    // A log cut in its last line counts that line out, whether or not it would parse.
    const resultlog::Report cut = resultlog::summarize(whole + "\n" + whole);
    QCOMPARE(cut.loaded, 1);
    QCOMPARE(cut.skipped, 1);
}

void TestResultLog::unwritableLogIsRefused() {
    testsupport::TempFiles files;
    resultlog::ResultLog log;
    QString error;
    QVERIFY(!log.open(files.path("no-such-folder/results.log"), &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(!log.open(QStringLiteral("/dev/full"), &error));
    QCOMPARE(error, QStringLiteral("not a regular file"));
    QVERIFY(!log.append(resultLine("/dev/ttyUSB0", true, QString(), "d"), &error));
    // A FIFO with no other end would block the open forever: refused at once, to write or read.
    const QString fifo = files.path("fifo.log");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QVERIFY(!log.open(fifo, &error));
    QCOMPARE(error, QStringLiteral("not a regular file"));
    resultlog::Report report;
    QVERIFY(!resultlog::summarize(fifo, &report, &error));
    QCOMPARE(error, QStringLiteral("not a regular file"));
}

// A log rotated, unlinked or left without its folder between two lines: the second line goes to
// the path, made anew, or fails with the system's cause; never to a file no path names.
void TestResultLog::followsItsPath_data() {
    QTest::addColumn<QString>("away"); // where the first file goes; empty: unlinked
    QTest::addColumn<bool>("folderGone");
    QTest::newRow("renamed") << "logs/results.log.1" << false;
    QTest::newRow("unlinked") << QString() << false;
    QTest::newRow("folder removed") << QString() << true;
}

void TestResultLog::followsItsPath() {
    QFETCH(QString, away);
    QFETCH(bool, folderGone);
    testsupport::TempFiles files;
    QVERIFY(QDir(files.path(QString())).mkpath("logs"));
    const QString path = files.path("logs/results.log");
    resultlog::ResultLog log;
    QString error;
    QVERIFY2(log.open(path, &error), qPrintable(error));
    QVERIFY(log.append(resultLine("/dev/ttyUSB0", true, "A1", "d1"), &error));
    QVERIFY(away.isEmpty() ? QFile::remove(path) : QFile::rename(path, files.path(away)));
    if (folderGone)
        QVERIFY(QDir(files.path("logs")).removeRecursively());

    QCOMPARE(log.append(resultLine("/dev/ttyUSB1", true, "B2", "d1"), &error), !folderGone);
    QCOMPARE(error, folderGone ? QString::fromLocal8Bit(std::strerror(ENOENT)) : QString());
    QCOMPARE(resultlog::summarize(contentsOf(path)).loaded, folderGone ? 0 : 1);
    if (!away.isEmpty())
        QCOMPARE(resultlog::summarize(contentsOf(files.path(away))).loaded, 1);
}

void TestResultLog::reportSumsUp() {
    QByteArray contents;
    const auto add = [&](const QJsonObject &line) {
        contents += QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
    };
    add(resultLine("/dev/ttyUSB0", true, "A1", "d1"));
    add(resultLine("/dev/ttyUSB1", true, "A1", "d1"));
    add(resultLine("/dev/ttyUSB1", true, "B2", "d2"));
    // Records beside the lines of 1.0.0.0, which name no kind.
    const auto failed = [](const QString &port, const QString &cause) {
        resultlog::Record record = resultlog::Record::now();
        record.port = port;
        record.sha256 = "d1";
        record.causeKind = "no-ack";
        record.cause = cause;
        return record.toJson();
    };
    add(failed("/dev/ttyUSB0", "the device on /dev/ttyUSB0 did not acknowledge record 3 of 9"));
    add(failed("/dev/ttyUSB1", "the device on /dev/ttyUSB1 did not acknowledge record 7 of 9"));
    add(resultLine("/dev/ttyUSB1", false, "C5", "d2", "/dev/ttyUSB1 is in use by minicom"));
    add(resultLine("/dev/ttyUSB2", true, QString(), "d1"));
    add(resultLine("/dev/ttyUSB3", true, QString(), "d1"));
    // No board's lines: an empty object, and a run's summary event.
    add({});
    add({{"event", "summary"}, {"loaded", 1}, {"failed", 0}});

    const resultlog::Report report = resultlog::summarize(contents);
    QCOMPARE(report.loaded, 5);
    QCOMPARE(report.failed, 3);
    QCOMPARE(report.skipped, 2);
    // The same however the log is cut into the pieces it is read in.
    for (int piece = 1; piece < 200; piece += 7) {
        resultlog::Summarizer summarizer;
        for (int at = 0; at < contents.size(); at += piece)
            summarizer.feed(contents.constData() + at, qMin(piece, int(contents.size()) - at));
        const resultlog::Report cut = summarizer.finish();
        QVERIFY(cut.loaded == 5 && cut.failed == 3 && cut.skipped == 2 &&
                cut.loadedAgain.size() == 1);
    }
    QCOMPARE(report.byDigest.value("d1").loaded, 4);
    QCOMPARE(report.byDigest.value("d1").failed, 2);
    QCOMPARE(report.byDigest.value("d2").loaded, 1);
    // Boards that failed alike count together, by the kind their records name, with the first
    // cause as an example.
    QCOMPARE(report.byKind.keys(), (QStringList{"-", "no-ack"}));
    QCOMPARE(report.byKind.value("no-ack").failed, 2);
    QVERIFY(resultlog::reportText(report).contains("failed 2 times: no-ack, such as: the device on "
                                                   "/dev/ttyUSB0 did not acknowledge record 3"));
    // Only a known serial number loaded twice is named; boards without one are not.
    QCOMPARE(report.loadedAgain, (QMap<QString, qint64>{{"A1", 2}}));
    QVERIFY(resultlog::reportText(report).contains("serial A1 loaded 2 times"));

    // By slot: Bay 3 fails half its 10 boards, 2.6 times the station's 6 of 31; no slot is none.
    QByteArray bays = R"({"event":"result","port":"p","ok":true,"slot":null})"
                      "\n";
    for (int i = 0; i < 30; ++i) {
        QJsonObject line = resultLine("/dev/ttyUSB0", i >= 5 && i != 29, QString(), "d");
        line.insert("slot", i < 10 ? "Bay 3" : "Bay 1");
        bays += QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
    }
    const resultlog::Report byBay = resultlog::summarize(bays);
    QVERIFY(resultlog::reportText(byBay).endsWith(
        "slot Bay 1: 19 loaded, 1 failed\n"
        "slot Bay 3: 5 loaded, 5 failed  <- fails 2.6 times as often as the station"));
    QCOMPARE(resultlog::reportJson(byBay)["slots"].toArray().size(), 2);

    // As CSV: quoted as RFC 4180 asks; a line of 1.0.0.0 gives its result, its other keys empty.
    const QByteArray old = R"({"record":1,"port":"a,b","result":"failed","cause":"say \"no\"\n"})"
                           "\n{\"event\":\"result\",\"port\":\"p\",\"ok\":true}\n";
    QCOMPARE(resultlog::CsvWriter().feed(old.constData(), old.size()),
             "1,,,,,\"a,b\",,,,,,,,,,failed,,,\"say \"\"no\"\"\n\",\r\n"
             ",,,,,p,,,,,,,,,,loaded,,,,\r\n");
}

// Each record names an id of its own; a line without one is known by its bytes, the same each
// time, and lines that differ in a byte by different ids.
void TestResultLog::everyLineHasAnId() {
    const QJsonObject first = resultlog::Record::now().toJson();
    const QJsonObject second = resultlog::Record::now().toJson();
    const QString id = first.value("id").toString();
    QCOMPARE(QUuid::fromString(id).version(), QUuid::Random);
    QVERIFY(!id.startsWith('{'));
    QVERIFY(id != second.value("id").toString());
    QCOMPARE(resultlog::idOf(first, "ignored"), id);

    const QByteArray old = R"({"event":"result","port":"/dev/ttyUSB0","ok":true})";
    const QJsonObject line = QJsonDocument::fromJson(old).object();
    const QString derived = resultlog::idOf(line, old);
    QCOMPARE(QUuid::fromString(derived).version(), QUuid::Sha1);
    QCOMPARE(resultlog::idOf(line, old), derived);
    QVERIFY(resultlog::idOf(line, QByteArray(old).replace("USB0", "USB1")) != derived);
}

QTEST_GUILESS_MAIN(TestResultLog)
#include "tst_resultlog.moc"
