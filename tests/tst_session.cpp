#include "session.h"
#include "simdevice.h"
#include "testsupport.h"

#include <QFile>
#include <QtTest>

#include <atomic>
#include <mutex>

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
    void secondNameOfOneDeviceIsNoBoard();
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
    jobs::Session session(settings, hooks);
    QVERIFY(session.prepare(0));
    session.watch(files.path("board-*"), 1);
    QCOMPARE(session.loaded(), 1);
    QCOMPARE(ended, 1);
    QCOMPARE(session.exitCode(), 0);
}

// Two names of one device, one a slot's: one board, on the slot, and nothing told of the other.
void TestSession::secondNameOfOneDeviceIsNoBoard() {
    testsupport::TempFiles files;
    SimDevice device;
    QVERIFY(device.start());
    QVERIFY(QFile::link(device.portName(), files.path("board-a")));
    QVERIFY(QFile::link(device.portName(), files.path("board-b")));
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

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
