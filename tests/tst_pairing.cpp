// Devices of every pace against the one promise of the upload: "Firmware loaded!" only when the
// device holds the image once and in order. Each seed draws a device that takes one send after
// the other and answers each in its own time (promptly, past the reply window, never, with a
// refusal, or in two writes); time is scaled down fivefold so that many run in seconds.

#include "device.h"
#include "firmwareimage.h"
#include "simdevice.h"
#include "testsupport.h"

#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QtTest>

#include <memory>
#include <mutex>
#include <utility>

using sim::SimDevice;
using transfer::Device;
using transfer::Outcome;
using Reply = SimDevice::Reply;

namespace {

// The tool's own timing, a fifth as long: short enough for many devices, long enough that a busy
// host's scheduling stays small beside the device's own pace.
constexpr int kScale = 5;
transfer::Timing scaledTiming() {
    transfer::Timing timing;
    timing.recordReplyWindow = transfer::kRecordReplyTimeout / kScale;
    timing.latencyGrace = transfer::kLatencyGrace / kScale;
    timing.recordPause = transfer::kRecordPause / kScale;
    timing.pairingLimit = transfer::kPairingLimit / kScale;
    timing.leaveGrace = std::chrono::milliseconds(300);
    return timing;
}

// Milliseconds of the tool's own pace, scaled.
int scaled(int ms) {
    return ms / kScale;
}

// A device drawn from a seed. It takes one send after the other and answers each in its record's
// own time, 0 to 3 s at the tool's pace, a tenth more or less from send to send, and longer over
// the first record it takes (as one that erases flash then). What it does with each send is
// drawn anew: acknowledged, lost, refused, or acknowledged in two writes. What it acknowledges
// it holds. Used on the device's thread only, and read once the device has stopped.
struct DrawnDevice {
    QRandomGenerator random;
    int eraseMs = 0;
    QHash<QByteArray, int> recordMs;
    QList<QByteArray> held;
    QString schedule;

    explicit DrawnDevice(quint64 seed)
        : random(quint32(seed * 2654435761u)) {
        eraseMs = random.bounded(2) == 0 ? scaled(random.bounded(2001)) : 0;
    }

    Reply answer(const SimDevice::Received &message) {
        if (!recordMs.contains(message.bytes)) {
            // Most records within the reply window, one in ten near its end, one in ten well
            // past it.
            const int kind = random.bounded(10);
            recordMs[message.bytes] = scaled(kind == 0   ? 900 + random.bounded(301)
                                             : kind == 1 ? 1200 + random.bounded(1801)
                                                         : random.bounded(800));
        }
        const int roll = random.bounded(100);
        int ms = recordMs.value(message.bytes) * (90 + random.bounded(21)) / 100;
        schedule += QStringLiteral("%1:").arg(message.index);
        if (roll < 6) {
            schedule += QLatin1String("lost ");
            return {};
        }
        ms += std::exchange(eraseMs, 0);
        if (roll < 12) {
            schedule += QStringLiteral("refused@%1 ").arg(ms);
            return {{ms, QByteArray("A\x01K", 3)}};
        }
        held << message.bytes;
        if (roll < 20) {
            schedule += QStringLiteral("split@%1 ").arg(ms);
            return {{ms, QByteArray("A", 1)}, {scaled(50), QByteArray("\0K", 2)}};
        }
        schedule += QStringLiteral("ack@%1 ").arg(ms);
        return {{ms, SimDevice::acknowledgement()}};
    }
};

struct Run {
    quint64 seed = 0;
    bool started = false;
    Outcome outcome = Outcome::PortNotOpened;
    qint64 elapsedMs = 0;
    QList<QByteArray> held;
    QString schedule;
};

Run uploadTo(quint64 seed, const transfer::LoadedImage &image) {
    Run run;
    run.seed = seed;
    SimDevice device;
    DrawnDevice drawn(seed);
    device.setResponder([&drawn](const SimDevice::Received &message) {
        return message.kind == SimDevice::Received::Record ? drawn.answer(message) : Reply{};
    });
    run.started = device.start();
    if (!run.started)
        return run;
    Device upload;
    upload.setTiming(scaledTiming());
    QElapsedTimer clock;
    clock.start();
    run.outcome = upload.upload(image, device.portName());
    run.elapsedMs = clock.elapsed();
    device.stop();
    run.held = drawn.held;
    run.schedule = drawn.schedule;
    return run;
}

} // namespace

class TestPairing : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        qRegisterMetaType<transfer::Outcome>();
        // Each send and reply is traced; thousands of them say nothing here.
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    }
    void loadedMeansHeldOnceInOrder_data();
    void loadedMeansHeldOnceInOrder();
};

// Seeds in rows of their own, which the suite runs side by side; BOOTLOADER_PAIRING_SEED (and
// BOOTLOADER_PAIRING_SEEDS, how many from it) runs others.
void TestPairing::loadedMeansHeldOnceInOrder_data() {
    QTest::addColumn<quint64>("firstSeed");
    QTest::addColumn<int>("seeds");
    if (qEnvironmentVariableIsSet("BOOTLOADER_PAIRING_SEED")) {
        QTest::newRow("chosen")
            << quint64(qEnvironmentVariable("BOOTLOADER_PAIRING_SEED").toULongLong())
            << qMax(1, qEnvironmentVariableIntValue("BOOTLOADER_PAIRING_SEEDS"));
        return;
    }
    constexpr int kRows = 4;
    constexpr int kSeedsARow = 15;
    for (int row = 0; row < kRows; ++row) {
        const quint64 first = quint64(1 + row * kSeedsARow);
        QTest::newRow(
            qPrintable(QStringLiteral("seeds %1 to %2").arg(first).arg(first + kSeedsARow - 1)))
            << first << kSeedsARow;
    }
}

void TestPairing::loadedMeansHeldOnceInOrder() {
    QFETCH(quint64, firstSeed);
    QFETCH(int, seeds);
    testsupport::TempFiles files;
    QByteArray bytes;
    for (int i = 0; i < 5; ++i)
        bytes += '{' + QByteArray(8 + 4 * i, char('a' + i)) + '}';
    const transfer::LoadedImage image = transfer::loadImage(files.write("image.bin", bytes));
    QVERIFY(!image.refusal);

    // Several devices at once: each spends its time waiting on its own line.
    constexpr int kAtOnce = 5;
    QList<Run> runs;
    std::mutex runsMutex;
    for (int from = 0; from < seeds; from += kAtOnce) {
        std::vector<std::unique_ptr<QThread>> threads;
        for (int i = from; i < qMin(seeds, from + kAtOnce); ++i) {
            threads.emplace_back(QThread::create([&, seed = firstSeed + quint64(i)] {
                const Run run = uploadTo(seed, image);
                const std::lock_guard<std::mutex> lock(runsMutex);
                runs << run;
            }));
            threads.back()->start();
        }
        for (const auto &thread : threads)
            thread->wait();
    }

    int loaded = 0;
    qint64 longestMs = 0;
    for (const Run &run : runs) {
        const QString tell = QStringLiteral("seed %1 (BOOTLOADER_PAIRING_SEED=%1 runs it "
                                            "alone): %2")
                                 .arg(run.seed)
                                 .arg(run.schedule);
        QVERIFY2(run.started, qPrintable(tell));
        QVERIFY2(run.outcome == Outcome::FirmwareLoaded ||
                     run.outcome == Outcome::FirmwareNotLoaded,
                 qPrintable(tell));
        if (run.outcome == Outcome::FirmwareLoaded) {
            ++loaded;
            QVERIFY2(run.held == image.records, qPrintable(tell));
        }
        // Five sends of each record and the waits that settle them: whatever the device does, an
        // upload ends.
        QVERIFY2(run.elapsedMs < 60000, qPrintable(tell));
        longestMs = qMax(longestMs, run.elapsedMs);
    }
    qInfo("%d seeds from %llu: %d loaded, the rest not; the longest upload took %lld ms", seeds,
          firstSeed, loaded, longestMs);
}

QTEST_GUILESS_MAIN(TestPairing)
#include "tst_pairing.moc"
