#include "framer.h"
#include "pacedline.h"

#include <QtTest>

using sim::DropCause;
using sim::Framer;
using sim::PacedLine;
using sim::Received;

namespace {

constexpr qint64 kNsPerMs = 1000000;

// What reaches the framer: after a gap of gapMs since the previous byte, the bytes one
// millisecond apart; or the host closing the port, right after the previous byte.
struct Step {
    int gapMs;
    QByteArray bytes;
    bool close;
};
using Script = QList<Step>;
// Reads off the terminal: microseconds from the start, and the bytes, or "!" for a close.
using Reads = QList<QPair<int, QByteArray>>;

Step bytes(const QByteArray &text, int gapMs = 1) {
    return {gapMs, text, false};
}
Step hostClose() {
    return {0, QByteArray(), true};
}

QString shown(const QByteArray &bytes) {
    return bytes.size() > 40 ? QStringLiteral("<%1 bytes>").arg(bytes.size())
                             : QString::fromLatin1(bytes);
}

// "record 0 {a} @2": kind, index, bytes and the millisecond its last byte arrived; or
// "dropped idle {ab @700" with the cause and when it was given up.
QString describe(const Framer::Event &event) {
    if (event.kind == Framer::Event::Dropped) {
        return QStringLiteral("dropped %1 %2 @%3")
            .arg(event.cause == DropCause::HostClosed ? "closed" : "idle", shown(event.partial))
            .arg(event.atNs / kNsPerMs);
    }
    const Received &message = event.message;
    return QStringLiteral("%1 %2 %3 @%4")
        .arg(message.kind == Received::Record ? "record" : "command")
        .arg(message.index)
        .arg(shown(message.bytes))
        .arg(message.atMs);
}

QStringList frame(const Script &script) {
    Framer framer;
    QStringList events;
    qint64 atNs = 0;
    for (const Step &step : script) {
        if (step.close) {
            for (const Framer::Event &event : framer.hostClosed(atNs))
                events << describe(event);
            continue;
        }
        for (int i = 0; i < step.bytes.size(); ++i) {
            atNs += (i == 0 ? step.gapMs : 1) * kNsPerMs;
            for (const Framer::Event &event : framer.take(step.bytes.at(i), atNs))
                events << describe(event);
        }
    }
    return events;
}

} // namespace

Q_DECLARE_METATYPE(Script)
Q_DECLARE_METATYPE(Reads)

class TestFramer : public QObject {
    Q_OBJECT

private slots:
    void framing_data();
    void framing();
    void atNsMatchesMessageTime();

    void arrivals_data();
    void arrivals();
    void handOver_data();
    void handOver();
};

void TestFramer::framing_data() {
    QTest::addColumn<Script>("script");
    QTest::addColumn<QStringList>("events");

    // Records and commands.
    QTest::newRow("one record") << Script{bytes("{a}")} << QStringList{"record 0 {a} @3"};
    QTest::newRow("command between records")
        << Script{bytes("{a}@46FF${b}")}
        << QStringList{"record 0 {a} @3", "command 0 @46FF$ @9", "record 1 {b} @12"};
    QTest::newRow("command bytes inside a record are record content")
        << Script{bytes("{a@46FF$b}")} << QStringList{"record 0 {a@46FF$b} @10"};
    QTest::newRow("command split across writes")
        << Script{bytes("@46"), bytes("FF$", 40)} << QStringList{"command 0 @46FF$ @45"};
    QTest::newRow("commands back to back")
        << Script{bytes("@46FF$@46FF$")}
        << QStringList{"command 0 @46FF$ @6", "command 1 @46FF$ @12"};
    QTest::newRow("partial command then a record")
        << Script{bytes("@46F{a}")} << QStringList{"record 0 {a} @7"};

    // Braces.
    QTest::newRow("closing brace outside a record")
        << Script{bytes("}{a}}")} << QStringList{"record 0 {a} @4"};
    QTest::newRow("opening brace inside a record is content")
        << Script{bytes("{a{b}")} << QStringList{"record 0 {a{b} @5"};
    QTest::newRow("bytes between records are no part of the next")
        << Script{bytes("{a}\r\nxyz{b}")} << QStringList{"record 0 {a} @3", "record 1 {b} @11"};
    QTest::newRow("bytes between records go with the next command")
        << Script{bytes("{a}\r\n@46FF$")}
        << QStringList{"record 0 {a} @3", "command 0 \r\n@46FF$ @11"};

    // The idle line, measured between the arrival times of two bytes.
    QTest::newRow("501 ms idle in a record drops it")
        << Script{bytes("{ab"), bytes("c}{x}", 501)}
        << QStringList{"dropped idle {ab @504", "record 0 {x} @508"};
    QTest::newRow("500 ms idle in a record keeps it")
        << Script{bytes("{ab"), bytes("c}", 500)} << QStringList{"record 0 {abc} @504"};
    QTest::newRow("idle between records drops nothing")
        << Script{bytes("{a}"), bytes("{b}", 2000)}
        << QStringList{"record 0 {a} @3", "record 1 {b} @2005"};
    QTest::newRow("idle in command bytes drops nothing")
        << Script{bytes("@46"), bytes("FF$", 900)} << QStringList{"command 0 @46FF$ @905"};
    QTest::newRow("idle drop of a large record")
        << Script{bytes('{' + QByteArray(6000, 'r')), bytes("{x}", 700)}
        << QStringList{"dropped idle <6001 bytes> @6701", "record 0 {x} @6703"};

    // The host closing the port.
    QTest::newRow("host close drops an unfinished record")
        << Script{bytes("{ab"), hostClose(), bytes("{x}")}
        << QStringList{"dropped closed {ab @3", "record 0 {x} @6"};
    QTest::newRow("host close between records drops nothing")
        << Script{bytes("{a}"), hostClose(), bytes("{b}")}
        << QStringList{"record 0 {a} @3", "record 1 {b} @6"};
    QTest::newRow("host close forgets what would precede a command")
        << Script{bytes("@46F"), hostClose(), bytes("F$@46FF$")}
        << QStringList{"command 0 F$@46FF$ @12"};
    QTest::newRow("host close after a large partial record")
        << Script{bytes("{a}{" + QByteArray(5000, 'p')), hostClose(), bytes("{b}")}
        << QStringList{"record 0 {a} @3", "dropped closed <5001 bytes> @5004",
                       "record 1 {b} @5007"};
    QTest::newRow("counting goes on after drops")
        << Script{bytes("{a}{b"), hostClose(), bytes("{c"), bytes("{d}", 600)}
        << QStringList{"record 0 {a} @3", "dropped closed {b @5", "dropped idle {c @607",
                       "record 1 {d} @609"};
    QTest::newRow("idle drop, then the close has nothing to drop")
        << Script{bytes("{a"), bytes("b", 600), hostClose()} << QStringList{"dropped idle {a @602"};
}

void TestFramer::framing() {
    QFETCH(Script, script);
    QFETCH(QStringList, events);
    QCOMPARE(frame(script), events);
}

void TestFramer::atNsMatchesMessageTime() {
    Framer framer;
    framer.take('{', 10);
    QCOMPARE(framer.inRecord(), true);
    QCOMPARE(framer.pending(), QByteArray("{"));
    const QList<Framer::Event> events = framer.take('}', 7 * kNsPerMs + 5);
    QCOMPARE(events.size(), 1);
    QCOMPARE(events[0].atNs, 7 * kNsPerMs + 5);
    QCOMPARE(events[0].message.atMs, qint64(7));
    QCOMPARE(framer.inRecord(), false);
    QVERIFY(framer.pending().isEmpty());
}

// The host's bytes on a paced line: reads are (offset from the start in microseconds, bytes, or
// "!" for the host closing the port); arrivals are when each byte or close reached the device,
// in microseconds, rounded down.
void TestFramer::arrivals_data() {
    QTest::addColumn<int>("baud");
    QTest::addColumn<Reads>("reads");
    QTest::addColumn<QList<qint64>>("arrivalsUs");
    QTest::addColumn<QByteArray>("delivered");

    // At 115200 baud a byte takes 86.805 microseconds.
    QTest::newRow("unpaced: at once")
        << 0 << Reads{{0, "{a}"}, {500, "!"}} << QList<qint64>{0, 0, 0, 500} << QByteArray("{a}!");
    QTest::newRow("a byte time each")
        << 115200 << Reads{{0, "abc"}} << QList<qint64>{86, 173, 260} << QByteArray("abc");
    QTest::newRow("a read behind bytes still on the way waits for them")
        << 115200 << Reads{{0, "ab"}, {100, "c"}} << QList<qint64>{86, 173, 260}
        << QByteArray("abc");
    QTest::newRow("a read on an idle line starts from the read")
        << 115200 << Reads{{0, "a"}, {1000, "b"}} << QList<qint64>{86, 1086} << QByteArray("ab");
    QTest::newRow("the close comes right after the last byte")
        << 115200 << Reads{{0, "{ab"}, {10, "!"}, {20, "{x}"}}
        << QList<qint64>{86, 173, 260, 260, 347, 434, 520} << QByteArray("{ab!{x}");
    QTest::newRow("a close on an idle line comes when read")
        << 115200 << Reads{{0, "a"}, {5000, "!"}} << QList<qint64>{86, 5000} << QByteArray("a!");
}

void TestFramer::arrivals() {
    QFETCH(int, baud);
    QFETCH(Reads, reads);
    QFETCH(QList<qint64>, arrivalsUs);
    QFETCH(QByteArray, delivered);

    PacedLine line;
    line.setBaud(baud);
    const qint64 originNs = 1000 * kNsPerMs;
    QList<qint64> times;
    QByteArray got;
    // As the device does: hands over what has arrived before each read.
    const auto arriveBy = [&](qint64 nowNs) {
        line.arrive(nowNs, [&](const PacedLine::Arrival &arrival) {
            QVERIFY(arrival.atNs <= nowNs);
            times << (arrival.atNs - originNs) / 1000;
            got += arrival.hostClosed ? '!' : arrival.byte;
        });
    };
    for (const auto &read : reads) {
        const qint64 readNs = originNs + read.first * 1000LL;
        arriveBy(readNs);
        if (read.second == "!")
            line.hostClosed(readNs);
        else
            line.hostSent(read.second, readNs);
    }
    QVERIFY(line.nextWakeNs() >= originNs);
    arriveBy(originNs + 60 * 1000 * kNsPerMs);
    QCOMPARE(got, delivered);
    QCOMPARE(times, arrivalsUs);
    QCOMPARE(line.inFlight(), 0);
    QCOMPARE(line.nextWakeNs(), qint64(-1));
}

// The device's bytes on a paced line: handed over in batches of at most a millisecond of line
// time, each once its last byte is due, and a second send not before the first has left.
void TestFramer::handOver_data() {
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("firstSize");
    QTest::addColumn<int>("secondSize");
    QTest::addColumn<QList<int>>("batches");
    // When the second send's last byte has left, in microseconds after both were asked for.
    QTest::addColumn<qint64>("secondDoneUs");

    // 11 bytes are 955 microseconds at 115200 baud.
    QTest::newRow("three bytes") << 115200 << 3 << 3 << QList<int>{3} << qint64(520);
    QTest::newRow("30 bytes in batches of 11")
        << 115200 << 30 << 1 << QList<int>{11, 11, 8} << qint64(2690);
    QTest::newRow("slower line, larger bytes")
        << 9600 << 2 << 1 << QList<int>{1, 1} << qint64(3124);
    QTest::newRow("unpaced: all at once") << 0 << 4096 << 3 << QList<int>{4096} << qint64(0);
}

void TestFramer::handOver() {
    QFETCH(int, baud);
    QFETCH(int, firstSize);
    QFETCH(int, secondSize);
    QFETCH(QList<int>, batches);
    QFETCH(qint64, secondDoneUs);

    PacedLine line;
    line.setBaud(baud);
    const qint64 startNs = 5000 * kNsPerMs;
    line.send(QByteArray(firstSize, 'x'), startNs);
    QList<int> got;
    while (line.sending()) {
        const qint64 dueNs = line.nextHandOverNs();
        QVERIFY(dueNs >= startNs);
        // Not a nanosecond early.
        if (dueNs > startNs)
            QVERIFY(line.dueOutput(dueNs - 1).isEmpty());
        const QByteArray due = line.dueOutput(dueNs);
        QVERIFY(!due.isEmpty());
        // At most a millisecond of line time, or a single byte where one takes longer.
        QVERIFY(due.size() == 1 || qint64(due.size()) * line.byteNs() <= PacedLine::kBatchNs);
        got << due.size();
        line.handedOver(due.size());
    }
    QCOMPARE(got, batches);
    QCOMPARE(line.nextHandOverNs(), qint64(-1));

    // A second send asked for at the same moment leaves once the line is free of the first.
    line.send(QByteArray(secondSize, 'y'), startNs);
    const qint64 doneNs = startNs + secondDoneUs * 1000;
    QVERIFY(line.dueOutput(doneNs - 1000).size() < secondSize);
    QCOMPARE(line.dueOutput(doneNs + 1000).size(), secondSize);
}

QTEST_GUILESS_MAIN(TestFramer)
#include "tst_framer.moc"
