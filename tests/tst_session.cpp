#include "session.h"
#include "simdevice.h"
#include "station.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

using sim::SimDevice;

namespace {

const QByteArray kImage("{record 0}\n{record 1}\n{record 2}\n");

// Settings with short reply windows, so that a silent device fails fast.
jobs::RunSettings settingsFor(testsupport::TempFiles &files) {
    jobs::RunSettings settings;
    settings.image = files.write("image.bin", kImage);
    settings.timing.recordReplyWindow = std::chrono::milliseconds(300);
    settings.timing.latencyGrace = std::chrono::milliseconds(50);
    settings.timing.recordPause = std::chrono::milliseconds(10);
    return settings;
}

} // namespace

class TestSession : public QObject {
    Q_OBJECT

private slots:
    void exitCodes_data();
    void exitCodes();
    void batchEndsAtItsCount();
    void secondNameOfOneDeviceIsNoBoard_data();
    void secondNameOfOneDeviceIsNoBoard();
    void slotsFileAppends_data();
    void slotsFileAppends();
    void slotsFileHasOneWriter();
};

// Each board is in the log when it is told of; a stop outweighs a failure, which outweighs
// success.
void TestSession::exitCodes_data() {
    QTest::addColumn<bool>("silent");
    QTest::addColumn<int>("stop");
    QTest::addColumn<int>("exit");
    QTest::newRow("loaded") << false << 0 << 0;
    QTest::newRow("not acknowledged") << true << 0 << 1;
    QTest::newRow("stopped while not acknowledged") << true << 143 << 143;
}

void TestSession::exitCodes() {
    QFETCH(bool, silent);
    QFETCH(int, stop);
    QFETCH(int, exit);
    testsupport::TempFiles files;
    SimDevice device;
    if (silent)
        device.setResponder([](const SimDevice::Received &) { return SimDevice::Reply(); });
    QVERIFY(device.start());

    jobs::RunSettings settings = settingsFor(files);
    settings.logPath = files.path("log");
    std::atomic<int> stopCode{0};
    jobs::Session::Hooks hooks;
    QStringList logged;
    int told = -1;
    QString imageTold;
    hooks.started = [&](int, const jobs::BoardResult &) { stopCode = stop; };
    hooks.finished = [&](const jobs::BoardResult &board, int code) {
        QFile log(settings.logPath);
        if (log.open(QIODevice::ReadOnly))
            logged = QString::fromUtf8(log.readAll()).split('\n', Qt::SkipEmptyParts);
        told = code;
        imageTold = board.image;
    };
    jobs::Session session(settings, hooks, {[&] { return stopCode.load(); }, -1});
    QVERIFY(session.prepare(1));
    session.run({device.portName()}, {}, jobs::Operation::Upload);
    QCOMPARE(logged.size(), 1);
    QVERIFY2(logged[0].contains(device.portName()), qPrintable(logged[0]));
    QCOMPARE(told, exit);
    QCOMPARE(imageTold, settings.image);
    QCOMPARE(session.exitCode(), exit);
    QCOMPARE(session.loaded() + session.failed(), 1);
}

// A batch of 1 ends once a board has loaded, though two ports match.
void TestSession::batchEndsAtItsCount() {
    testsupport::TempFiles files;
    SimDevice first, second;
    QVERIFY(first.start() && second.start());
    QVERIFY(QFile::link(first.portName(), files.path("board-1")));
    QVERIFY(QFile::link(second.portName(), files.path("board-2")));
    jobs::RunSettings settings = settingsFor(files);
    int ended = 0;
    jobs::Session::Hooks hooks;
    hooks.ended = [&](int loaded, int) { ended = loaded; };
    // The board that completes the batch ends the station then, not at the next look at the
    // ports (kLookMs on).
    QElapsedTimer sinceLoaded;
    hooks.finished = [&](const jobs::BoardResult &, int) { sinceLoaded.start(); };
    jobs::Session session(settings, hooks);
    QVERIFY(session.prepare(0));
    session.watch(files.path("board-*"), 1);
    QCOMPARE(session.loaded(), 1);
    QCOMPARE(ended, 1);
    QCOMPARE(session.exitCode(), 0);
    QVERIFY2(sinceLoaded.elapsed() < jobs::Station::kLookMs - 1000,
             qPrintable(QString::number(sinceLoaded.elapsed())));
}

// Two names of one device, one a slot's: one board, on the slot, and nothing told of the other;
// also when the other name is there first and the slot's link comes later, as udev makes it.
void TestSession::secondNameOfOneDeviceIsNoBoard_data() {
    QTest::addColumn<int>("linkAfterMs");
    QTest::newRow("both names there") << -1;
    QTest::newRow("node first, link 100 ms later") << 100;
    QTest::newRow("node first, link 300 ms later") << 300;
}

void TestSession::secondNameOfOneDeviceIsNoBoard() {
    QFETCH(int, linkAfterMs);
    testsupport::TempFiles files;
    SimDevice device;
    QVERIFY(device.start());
    QVERIFY(QFile::link(device.portName(), files.path("board-b")));
    const auto linkSlot = [&] { return QFile::link(device.portName(), files.path("board-a")); };
    if (linkAfterMs < 0)
        QVERIFY(linkSlot());
    // The slot's link, made while the station already watches; joined however the test ends.
    std::thread later;
    const auto joined = qScopeGuard([&] { later.joinable() ? later.join() : void(); });
    if (linkAfterMs >= 0)
        later = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(linkAfterMs));
            linkSlot();
        });
    jobs::RunSettings settings = settingsFor(files);
    settings.slotList = {{"A1", files.path("board-a")}};
    QStringList started, finished;
    jobs::Session::Hooks hooks;
    std::mutex mutex;
    hooks.started = [&](int, const jobs::BoardResult &board) {
        std::lock_guard<std::mutex> lock(mutex);
        started << board.port;
    };
    hooks.finished = [&](const jobs::BoardResult &board, int) {
        finished << board.slot + "=" + board.port;
    };
    jobs::Session session(settings, hooks);
    QVERIFY(session.prepare(0));
    session.watch(files.path("board-*"), 1);
    QCOMPARE(started, QStringList{files.path("board-a")});
    QCOMPARE(finished, QStringList{"A1=" + files.path("board-a")});
    QCOMPARE(session.failed(), 0);
}

// 'slots FILE' adds a port as the slot after the highest "Slot N" the file holds at that moment
// (hand edits and a file replaced under its name included), and never a port it holds already.
void TestSession::slotsFileAppends_data() {
    QTest::addColumn<QByteArray>("before"); // the file when opened
    QTest::addColumn<QByteArray>("edit");   // appended by hand once open
    QTest::addColumn<bool>("replace");      // edit is a new file renamed over it instead
    QTest::addColumn<QString>("line");      // what append() says it added; empty: nothing
    QTest::addColumn<QByteArray>("after");
    const QByteArray gap("Slot 1 = /dev/ttyUSB0\nSlot 3 = /dev/ttyUSB1\n");
    QTest::newRow("after the highest, not the count")
        << gap << QByteArray() << false << "Slot 4 = /dev/ttyX" << gap + "Slot 4 = /dev/ttyX\n";
    QTest::newRow("last line left open")
        << QByteArray("A1 = /dev/ttyUSB0") << QByteArray() << false << "Slot 1 = /dev/ttyX"
        << QByteArray("A1 = /dev/ttyUSB0\nSlot 1 = /dev/ttyX\n");
    QTest::newRow("slot added by hand meanwhile")
        << gap << QByteArray("Slot 7 = /dev/ttyUSB2\n") << false << "Slot 8 = /dev/ttyX"
        << gap + "Slot 7 = /dev/ttyUSB2\nSlot 8 = /dev/ttyX\n";
    QTest::newRow("port added by hand meanwhile, spelt otherwise")
        << gap << QByteArray("Slot 4 = /dev//ttyX\n") << false << QString()
        << gap + "Slot 4 = /dev//ttyX\n";
    QTest::newRow("file replaced by an editor")
        << gap << QByteArray("B1 = /dev/ttyUSB5\nSlot 9 = /dev/ttyUSB6\n") << true
        << "Slot 10 = /dev/ttyX"
        << QByteArray("B1 = /dev/ttyUSB5\nSlot 9 = /dev/ttyUSB6\n"
                      "Slot 10 = /dev/ttyX\n");
}

void TestSession::slotsFileAppends() {
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, edit);
    QFETCH(bool, replace);
    QFETCH(QString, line);
    QFETCH(QByteArray, after);
    testsupport::TempFiles files;
    const QString path = files.write("line.slots", before);
    jobs::SlotsFile adder;
    QString error;
    QCOMPARE(adder.open(path, &error), jobs::SlotsFile::Failure::None);
    if (replace) {
        const QString saved = files.write("line.slots.new", edit);
        QVERIFY(::rename(QFile::encodeName(saved), QFile::encodeName(path)) == 0);
    } else if (!edit.isEmpty()) {
        QFile hand(path);
        QVERIFY(hand.open(QIODevice::Append) && hand.write(edit) == edit.size());
    }
    QCOMPARE(adder.append("/dev/ttyX", &error), line);
    QCOMPARE(error, QString());
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), after);
}

// A second writer is refused while the first has the file open, and writes nothing.
void TestSession::slotsFileHasOneWriter() {
    testsupport::TempFiles files;
    const QString path = files.write("line.slots", "Slot 1 = /dev/ttyUSB0\n");
    jobs::SlotsFile first, second;
    QString error;
    QCOMPARE(first.open(path, &error), jobs::SlotsFile::Failure::None);
    QCOMPARE(second.open(path, &error), jobs::SlotsFile::Failure::Refused);
    QCOMPARE(error, path + " is being added to by another process");
    QCOMPARE(first.append("/dev/ttyUSB1", &error), QString("Slot 2 = /dev/ttyUSB1"));
}

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
