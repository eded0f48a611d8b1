// bench_watch: what a station costs while no board comes, and how soon a board that appears is
// sent its first record. Run by hand: see the README's "Benchmark".

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {

void say(const QString &line) {
    std::printf("%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

// The CPU time a process has used, user and system, in seconds (/proc/PID/stat).
double cpuSeconds(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    // After the name in parentheses: state is field 3, utime 14 and stime 15.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) /
           double(::sysconf(_SC_CLK_TCK));
}

bool stop(QProcess &process) {
    if (process.state() == QProcess::NotRunning)
        return true;
    process.terminate();
    if (process.waitForFinished(10000))
        return true;
    process.kill();
    process.waitForFinished(5000);
    return false;
}

// The station idle for seconds with selector: the share of one core it used.
double idleShare(const QString &cli, const QString &image, const QString &selector, int seconds) {
    QProcess station;
    station.start(cli, {"--json", "station", image, "--match", selector});
    if (!station.waitForStarted(5000))
        return -1;
    QThread::sleep(2);
    const double before = cpuSeconds(station.processId());
    QElapsedTimer clock;
    clock.start();
    QThread::sleep(ulong(seconds));
    const double after = cpuSeconds(station.processId());
    const double share = (after - before) / (double(clock.nsecsElapsed()) / 1e9) * 100;
    stop(station);
    return before < 0 || after < 0 ? -1 : share;
}

// From a link to a new board's port appearing in the station's folder to the board receiving
// its first record, in milliseconds, trial after trial; empty where a trial went wrong.
std::vector<double> latencies(const QString &cli, const QString &sim, const QString &image,
                              const QString &dir, int trials, const QStringList &simArgs) {
    std::vector<double> found;
    QProcess station;
    station.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    station.start(cli, {"--json", "station", image, "--match", dir + "/board*"});
    if (!station.waitForStarted(5000))
        return found;
    QThread::sleep(1);
    for (int trial = 0; trial < trials; ++trial) {
        QProcess board;
        board.start(sim, QStringList{"-v"} + simArgs);
        if (!board.waitForReadyRead(5000))
            break;
        const QString port = QString::fromLocal8Bit(board.readLine()).trimmed();
        board.setReadChannel(QProcess::StandardError);
        // The station idle again, the board waiting; at no fixed time after the last board, which
        // would fall at one point of a station's cycle, if it has one.
        QThread::msleep(500 + QRandomGenerator::global()->bounded(500));
        const QString link = dir + QStringLiteral("/board%1").arg(trial);
        QElapsedTimer clock;
        clock.start();
        if (!QFile::link(port, link))
            break;
        QByteArray heard;
        const QDeadlineTimer deadline(10000);
        while (!heard.contains("record 1 ") && !deadline.hasExpired()) {
            board.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
            heard += board.readAllStandardError();
        }
        if (heard.contains("record 1 "))
            found.push_back(double(clock.nsecsElapsed()) / 1e6);
        // The station done with the board before it goes.
        QByteArray events;
        const QDeadlineTimer done(30000);
        while (!events.contains("\"event\":\"result\"") && !done.hasExpired()) {
            station.waitForReadyRead(100);
            events += station.readAllStandardOutput();
        }
        QFile::remove(link);
        stop(board);
    }
    stop(station);
    return found;
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "A station's CPU share while idle, with a glob and with a USB identity, and the time from "
        "a board's port appearing to its first record.");
    parser.addHelpOption();
    const QCommandLineOption cliOption("cli", "The bootloader-cli to measure.", "path",
                                       QStringLiteral(BOOTLOADER_CLI_PROGRAM));
    const QCommandLineOption idleOption("idle", "Seconds idle for each selector (60; 0: none).",
                                        "s", "60");
    const QCommandLineOption trialsOption("trials", "Boards to time (20).", "n", "20");
    const QCommandLineOption baudOption("baud", "The boards' pace (default: none).", "rate");
    parser.addOptions({cliOption, idleOption, trialsOption, baudOption});
    parser.process(app);
    const QString cli = parser.value(cliOption);

    QTemporaryDir scratch;
    const QString image = scratch.filePath("image.bin");
    QFile file(image);
    if (!file.open(QIODevice::WriteOnly) || file.write("{first record}\n{second record}\n") < 0)
        return 1;
    file.close();
    const QString dir = scratch.filePath("ports");
    QDir().mkpath(dir);

    say(QStringLiteral("watch: %1").arg(cli));
    for (const QString &selector : {dir + "/board*", QStringLiteral("usb:0403:6001")}) {
        if (parser.value(idleOption).toInt() <= 0)
            break;
        const double share = idleShare(cli, image, selector, parser.value(idleOption).toInt());
        say(QStringLiteral("idle CPU, %1: %2% of a core")
                .arg(selector.startsWith("usb:") ? "usb:0403:6001" : "DIR/board*")
                .arg(share, 0, 'f', 3));
    }
    QStringList simArgs;
    if (parser.isSet(baudOption))
        simArgs << "--baud" << parser.value(baudOption);
    std::vector<double> times = latencies(cli, QStringLiteral(BOOTLOADER_SIM_PROGRAM), image, dir,
                                          parser.value(trialsOption).toInt(), simArgs);
    if (times.empty()) {
        say("first record: no trial succeeded");
        return 1;
    }
    std::sort(times.begin(), times.end());
    say(QStringLiteral("first record after the port appeared, %1 boards: median %2 ms, min %3, "
                       "max %4")
            .arg(times.size())
            .arg(times[times.size() / 2], 0, 'f', 1)
            .arg(times.front(), 0, 'f', 1)
            .arg(times.back(), 0, 'f', 1));
    return 0;
}
