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
    void csvHasARecordsKeysAsColumns();
    void shiftReport_data();
    void shiftReport();
    void csvCells_data();
    void csvCells();
    void everyLineHasAnId();
    void unitYields_data();
    void unitYields();
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

void TestResultLog::csvHasARecordsKeysAsColumns() {
    // The columns keep their order from one version to the next; each is a key of the record,
    // and a record has no key the CSV leaves out but its id.
    const QByteArray header = resultlog::CsvWriter().header();
    QCOMPARE(header, "record,time,host,station,slot,port,path,usb,serial,image,sha256,records,"
                     "acknowledged,sends,seconds,result,exit,cause_kind,cause,version\r\n");
    QStringList columns = QString::fromLatin1(header.trimmed()).split(',') << "id";
    columns.sort();
    QCOMPARE(resultlog::Record::now().toJson().keys(), columns);
}

// A made-up board: "STATION SLOT loaded|KIND IMAGE MINUTE", its time that many minutes after
// 06:00 UTC.
using Boards = QStringList;
const QDateTime kShiftStart(QDate(2026, 12, 8), QTime(6, 0), Qt::UTC);

void TestResultLog::shiftReport_data() {
    QTest::addColumn<Boards>("boards");
    QTest::addColumn<int>("fromMinute"); // -1: open
    QTest::addColumn<int>("toMinute");
    QTest::addColumn<QStringList>("suspects");

    const Boards twoStations{"line1 A1 loaded d1 1", "line1 A1 no-ack d1 2", "line2 A1 loaded d1 3",
                             "line2 A1 open d2 4",   "line2 A1 no-ack d2 5", "line1 B1 loaded d2 6",
                             "line2 A1 loaded d1 7", "line1 A1 loaded d1 8"};
    QTest::newRow("two stations' A1") << twoStations << -1 << -1 << QStringList{};
    QTest::newRow("a shift's range") << twoStations << 2 << 7 << QStringList{};
    // The line fails 28 of its 42 boards; A1 fails all 14 of its own, twice the rest's share.
    Boards half;
    for (int i = 0; i < 14; ++i)
        half << QStringLiteral("line1 A1 no-ack d1 %1").arg(i)
             << QStringLiteral("line1 A2 %1 d1 %2").arg(i < 10 ? "loaded" : "no-ack").arg(i)
             << QStringLiteral("line1 A3 %1 d1 %2").arg(i < 4 ? "loaded" : "open").arg(i);
    QTest::newRow("line fails half its boards") << half << -1 << -1 << QStringList{"line1 A1"};
}

// The figures of a report against a count of the same boards made here, apart from the code.
void TestResultLog::shiftReport() {
    QFETCH(Boards, boards);
    QFETCH(int, fromMinute);
    QFETCH(int, toMinute);
    QFETCH(QStringList, suspects);
    resultlog::TimeRange range;
    if (fromMinute >= 0)
        range = {kShiftStart.addSecs(60 * fromMinute), kShiftStart.addSecs(60 * toMinute)};
    QByteArray log;
    int loaded = 0, failed = 0, first = -1, last = -1;
    QMap<QString, QPair<int, int>> bySlot; // "STATION SLOT": loaded, failed
    QMap<QString, int> causes;             // "STATION SLOT KIND" and "IMAGE KIND": failed
    for (const QString &board : boards) {
        const QStringList f = board.split(' ');
        resultlog::Record record = resultlog::Record::now();
        record.station = f[0];
        record.slot = f[1];
        record.port = "/dev/ttyUSB0";
        record.loaded = f[2] == "loaded";
        record.causeKind = record.loaded ? QString() : f[2];
        record.sha256 = f[3];
        record.time = kShiftStart.addSecs(60 * f[4].toInt()).addMSecs(250);
        log += QJsonDocument(record.toJson()).toJson(QJsonDocument::Compact) + '\n';
        const int minute = f[4].toInt();
        if (fromMinute >= 0 && (minute < fromMinute || minute >= toMinute))
            continue;
        first = first < 0 ? minute : qMin(first, minute);
        last = qMax(last, minute);
        ++(record.loaded ? loaded : failed);
        ++(record.loaded ? bySlot[f[0] + ' ' + f[1]].first : bySlot[f[0] + ' ' + f[1]].second);
        if (!record.loaded) {
            ++causes[f[0] + ' ' + f[1] + ' ' + f[2]];
            ++causes[f[3] + ' ' + f[2]];
        }
    }
    resultlog::Summarizer summarizer(range);
    summarizer.feed(log.constData(), log.size());
    const resultlog::Report report = summarizer.finish();
    const QJsonObject json = resultlog::reportJson(report);
    QCOMPARE(json["loaded"].toInt(), loaded);
    QCOMPARE(json["failed"].toInt(), failed);
    QCOMPARE(json["outside"].toInt(), boards.size() - loaded - failed);
    QCOMPARE(json["yield"].toDouble(), std::round(1000.0 * loaded / (loaded + failed)) / 10);
    // In whole seconds, as a handover gives them.
    const auto at = [](int minute) {
        return kShiftStart.addSecs(60 * minute).toString(Qt::ISODate);
    };
    QCOMPARE(json["first"].toString(), at(first));
    QCOMPARE(json["last"].toString(), at(last));
    QMap<QString, QPair<int, int>> gotSlots;
    QMap<QString, int> gotCauses;
    QStringList gotSuspects;
    for (const QJsonValue &slot : json["slots"].toArray()) {
        const QString name = slot["station"].toString() + ' ' + slot["slot"].toString();
        gotSlots[name] = {slot["loaded"].toInt(), slot["failed"].toInt()};
        for (const QJsonValue &cause : slot["causes"].toArray())
            gotCauses[name + ' ' + cause["cause_kind"].toString()] = cause["failed"].toInt();
        if (slot["suspect"].toBool())
            gotSuspects << name;
    }
    for (const QJsonValue &image : json["images"].toArray()) {
        for (const QJsonValue &cause : image["causes"].toArray())
            gotCauses[image["sha256"].toString() + ' ' + cause["cause_kind"].toString()] =
                cause["failed"].toInt();
    }
    QCOMPARE(gotSlots, bySlot);
    QCOMPARE(gotCauses, causes);
    QCOMPARE(gotSuspects, suspects);
    QCOMPARE(resultlog::reportText(report).count(" 0 loaded, 14 failed  <- fails"),
             suspects.size());
    // The CSV has a row for each board counted, marked as its slot is.
    resultlog::CsvWriter csv(report);
    const QList<QByteArray> rows = csv.feed(log.constData(), log.size()).split('\n');
    QCOMPARE(rows.size() - 1, loaded + failed);
    for (const QByteArray &row : rows.mid(0, rows.size() - 1))
        QCOMPARE(row.endsWith(",true\r"),
                 suspects.contains(row.split(',')[3] + ' ' + row.split(',')[4].mid(1)));
}

void TestResultLog::csvCells_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("cell");
    QTest::newRow("formula image")
        << "image"
        << "=HYPERLINK(\"http://x\",\"y\")" << QByteArray(R"x("'=HYPERLINK(""http://x"",""y"")")x");
    QTest::newRow("at in a slot") << "slot"
                                  << "@SUM(1+9)" << QByteArray("'@SUM(1+9)");
    QTest::newRow("tab first") << "port"
                               << "\t=1" << QByteArray("'\t=1");
    QTest::newRow("carriage return first") << "host"
                                           << "\r=1" << QByteArray("\"'\r=1\"");
    QTest::newRow("leading zeros") << "serial"
                                   << "00012345" << QByteArray("'00012345");
    QTest::newRow("time") << "time"
                          << "2026-12-08T06:00:01.750Z" << QByteArray("2026-12-08 06:00:01");
}

// Each cell as a spreadsheet must read it, in its own column.
void TestResultLog::csvCells() {
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, cell);
    const resultlog::CsvWriter csv;
    const QByteArray header = csv.header();
    QByteArrayList expected;
    for (const QByteArray &name : header.left(header.size() - 2).split(','))
        expected << (name == key        ? cell
                     : name == "record" ? QByteArray("1")
                     : name == "result" ? QByteArray("loaded")
                                        : QByteArray());
    QCOMPARE(csv.row({{"record", 1}, {"result", "loaded"}, {key, value}}),
             expected.join(',') + "\r\n");
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

// Boards as "UNIT loaded|failed", in the log's order; "-" names no unit.
void TestResultLog::unitYields_data() {
    QTest::addColumn<QStringList>("boards");
    QTest::addColumn<QString>("text"); // the report's lines of units
    QTest::newRow("failed, then loaded; loaded twice; never loaded")
        << QStringList{"U1 failed", "U2 loaded", "U1 loaded", "- loaded",
                       "U3 failed", "U2 loaded", "U3 failed", "U2 loaded"}
        << "units: 3\n"
           "first-pass yield: 33.3% (1 of 3 units loaded on their first board)\n"
           "final yield: 66.7% (2 of 3 units loaded)\n"
           "unit U2 loaded 3 times";
}

void TestResultLog::unitYields() {
    QFETCH(QStringList, boards);
    QFETCH(QString, text);
    QByteArray contents;
    for (const QString &board : boards) {
        resultlog::Record record = resultlog::Record::now();
        record.port = "/dev/ttyUSB0";
        record.loaded = board.endsWith("loaded");
        if (!board.startsWith('-'))
            record.unit = board.section(' ', 0, 0);
        contents += QJsonDocument(record.toJson()).toJson(QJsonDocument::Compact) + '\n';
    }
    const resultlog::Report report = resultlog::summarize(contents);
    const QString said = resultlog::reportText(report);
    QCOMPARE(said.mid(said.indexOf("units: ")), text);
    const QJsonObject json = resultlog::reportJson(report)["units"].toObject();
    QCOMPARE(QJsonDocument(json).toJson(QJsonDocument::Compact),
             R"({"final_yield":66.7,"first_pass":1,"first_pass_yield":33.3,"loaded":2,)"
             R"("loaded_again":[{"loaded":3,"unit":"U2"}],"seen":3})");
}

QTEST_GUILESS_MAIN(TestResultLog)
#include "tst_resultlog.moc"
