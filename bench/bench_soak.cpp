// bench_soak: bootloader-cli's station against simulated boards that misbehave and come and go,
// for minutes on end. Each board is a bootloader-sim under --chaos with a link to its port in a
// scratch folder; the station uploads to each as it appears. Run by hand: see the README's
// "Benchmark". The suite runs a short one.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <unistd.h>
#include <vector>

namespace {

// Between a board's end and the next one at its place: the station takes a name anew once it has
// seen the board's device go.
constexpr int kPauseMs = 1000;
// How long the station is left alone before its figures are first taken, and after its last
// board before they are taken again.
constexpr int kSettleMs = 1000;
constexpr int kTickMs = 100;
// How long the station may take to report a board once that board went away.
constexpr int kResultAfterGoneMs = 30000;
// How long an upload may take at all before its board counts as stuck.
constexpr int kUploadLimitMs = 180000;
// How long the station may take to report the boards unplugged at the end.
constexpr int kCutOffMs = 10000;
// How long a program is given to end after SIGTERM.
constexpr int kStopMs = 10000;

void say(const QString &line) {
    std::printf("%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

// A few dozen records of mixed sizes: six of 2 to 6 KiB among small ones of 16 to 255 bytes.
QList<QByteArray> makeRecords() {
    QList<QByteArray> records;
    for (int i = 0; i < 36; ++i) {
        const int size = i % 6 == 2 ? 2048 + (i * 977) % 4096 : 16 + (i * 53) % 240;
        QByteArray body;
        for (int b = 0; body.size() < size - 2; ++b)
            body += char('A' + (i * 7 + b) % 26);
        // A '{' inside a record is its content.
        if (i == 5)
            body[3] = '{';
        records.append('{' + body + '}');
    }
    return records;
}

// What the station holds: open files, threads and resident memory.
struct Figures {
    int files = -1;
    int threads = -1;
    qint64 rssKiB = -1;
    // Of it: memory of the process's own, and pages of mapped files (code paged in).
    qint64 anonKiB = -1;
    qint64 fileKiB = -1;
};

Figures figuresOf(qint64 pid) {
    Figures figures;
    const QString proc = QStringLiteral("/proc/%1").arg(pid);
    const QDir fds(proc + QStringLiteral("/fd"));
    if (fds.exists())
        figures.files =
            int(fds.entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot)
                    .size());
    QFile status(proc + QStringLiteral("/status"));
    if (!status.open(QIODevice::ReadOnly))
        return figures;
    for (const QByteArray &line : status.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 2)
            continue;
        if (fields[0] == "Threads:")
            figures.threads = fields[1].toInt();
        else if (fields[0] == "VmRSS:")
            figures.rssKiB = fields[1].toLongLong();
        else if (fields[0] == "RssAnon:")
            figures.anonKiB = fields[1].toLongLong();
        else if (fields[0] == "RssFile:")
            figures.fileKiB = fields[1].toLongLong();
    }
    return figures;
}

QString difference(qint64 before, qint64 after) {
    return QStringLiteral("%1%2").arg(after >= before ? "+" : "").arg(after - before);
}

// A program started here, ended when this goes (killed, if it still runs then), so that a soak
// that stops half-way leaves nothing behind.
class Child {
public:
    Child() = default;
    ~Child() { kill(); }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    QProcess &process() { return m_process; }
    bool running() const { return m_process.state() != QProcess::NotRunning; }
    qint64 pid() const { return m_process.processId(); }
    // Sends SIGTERM and waits for the end: false when it did not end in time (it is then
    // killed).
    bool stop() {
        if (!running())
            return true;
        ::kill(pid_t(m_process.processId()), SIGTERM);
        if (m_process.waitForFinished(kStopMs))
            return true;
        kill();
        return false;
    }
    void kill() {
        if (!running())
            return;
        m_process.kill();
        m_process.waitForFinished(5000);
    }

private:
    QProcess m_process;
};

// One place for a board: a simulator at a time, reached through the link DIR/boardN.
struct Board {
    enum class State { Pausing, Starting, Live, Done };

    int slot = 0;
    QString link;
    State state = State::Pausing;
    QDeadlineTimer pauseEnds;
    // The current simulator.
    std::unique_ptr<Child> sim;
    quint64 seed = 0;
    QString savePath;
    QByteArray portLine;
    QElapsedTimer liveFor;
    QElapsedTimer goneFor; // since the simulator ended on its own
    bool taken = false;    // the station wrote its start event
    bool cutOff = false;   // unplugged here at the end of the soak, still loading

    ~Board() {
        if (!link.isEmpty())
            QFile::remove(link);
    }
};

struct Tally {
    int started = 0;
    int loaded = 0;
    int failed = 0;
    int wentAway = 0;     // failed boards whose simulator went away, as chaos draws
    int failedStayed = 0; // failed boards whose simulator was still there
    int cutOff = 0;       // unplugged at the end, still loading
    int interrupted = 0;  // cut short by the station's stop
    int falseSuccesses = 0;
    int oddSaves = 0; // a failed board's save that is not a run of the image's first records
    int unreported = 0;
    int strayResults = 0;
};

class Soak : public QObject {
public:
    Soak(qint64 durationMs, int boards)
        : m_durationMs(durationMs)
        , m_records(makeRecords()) {
        m_expected = m_records.join();
        for (int i = 0; i < boards; ++i) {
            m_boards.push_back(std::make_unique<Board>());
            m_boards.back()->slot = i + 1;
            m_boards.back()->link = m_dir.filePath(QStringLiteral("board%1").arg(i + 1));
        }
        m_seed = quint64(QDateTime::currentMSecsSinceEpoch());
    }

    int run();
    void interrupt() {
        m_interruptedByUser = true;
        m_loop.quit();
    }

private:
    void tick();
    void startSim(Board &board);
    void takePort(Board &board);
    void readStation();
    void onEvent(const QJsonObject &event);
    // Stops the board's simulator and judges what it saved against the station's verdict.
    void finish(Board &board, const QJsonObject &result);
    bool allDone() const;
    QString tailOf(const QString &path) const;

    QTemporaryDir m_dir;
    qint64 m_durationMs;
    QList<QByteArray> m_records;
    QByteArray m_expected;
    quint64 m_seed;
    std::vector<std::unique_ptr<Board>> m_boards;
    Child m_station;
    QByteArray m_stationOut;
    QJsonObject m_summary;
    QElapsedTimer m_clock;
    bool m_taking = true; // new boards are still set up
    qint64 m_drainMs = 0;
    QDeadlineTimer m_cutOffEnds{
        QDeadlineTimer::Forever}; // set once the boards still loading are unplugged
    bool m_stationDied = false;
    bool m_interruptedByUser = false;
    Tally m_tally;
    QEventLoop m_loop;
};

int Soak::run() {
    if (!m_dir.isValid()) {
        say(QStringLiteral("soak: no scratch folder"));
        return 1;
    }
    const QString imagePath = m_dir.filePath(QStringLiteral("image.bin"));
    QFile image(imagePath);
    if (!image.open(QIODevice::WriteOnly) || image.write(m_records.join("\r\n") + "\r\n") < 0)
        return 1;
    image.close();
    m_drainMs = qBound(qint64(3000), m_durationMs / 4, qint64(30000));
    say(QStringLiteral("soak: %1 s and up to %2 s to drain, %3 boards, an image of %4 records "
                       "(%5 bytes), seeds from %6")
            .arg(m_durationMs / 1000.0)
            .arg(m_drainMs / 1000.0)
            .arg(m_boards.size())
            .arg(m_records.size())
            .arg(m_expected.size())
            .arg(m_seed));

    m_clock.start();
    QProcess &station = m_station.process();
    station.setStandardErrorFile(m_dir.filePath(QStringLiteral("station.err")));
    QObject::connect(&station, &QProcess::readyReadStandardOutput, this, [this] { readStation(); });
    station.start(QStringLiteral(BOOTLOADER_CLI_PROGRAM),
                  {"--json", "station", imagePath, "--match", m_dir.filePath("board*")});
    if (!station.waitForStarted(5000)) {
        say(QStringLiteral("soak: bootloader-cli did not start"));
        return 1;
    }
    // Up and idle: nothing matches yet.
    QThread::msleep(kSettleMs);
    readStation();
    if (!m_station.running()) {
        say(QStringLiteral("soak: the station ended at start: %1")
                .arg(tailOf(m_dir.filePath("station.err"))));
        return 1;
    }
    const Figures first = figuresOf(m_station.pid());

    for (std::size_t i = 0; i < m_boards.size(); ++i)
        m_boards[i]->pauseEnds = QDeadlineTimer(qint64(i) * 250);
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, this, [this] { tick(); });
    ticker.start(kTickMs);
    m_loop.exec();
    ticker.stop();
    readStation();

    // The station's figures after the last board, once its jobs are reaped, before it stops.
    Figures last;
    if (!m_stationDied) {
        QThread::msleep(kSettleMs);
        last = figuresOf(m_station.pid());
        m_stationDied = !m_station.running();
    }
    const bool stopped = m_station.stop();
    readStation();
    const QProcess::ExitStatus how = station.exitStatus();
    const int code = station.exitCode();
    // Boards cut short by the station's stop: their saves still hold the records acknowledged.
    for (const auto &board : m_boards) {
        if (board->state == Board::State::Live || board->state == Board::State::Starting)
            finish(*board, {});
    }

    const Tally &t = m_tally;
    say(QStringLiteral("boards: %1 started, %2 loaded, %3 failed (%4 went away, %5 while still "
                       "there), %6 unplugged at the end while loading")
            .arg(t.started)
            .arg(t.loaded)
            .arg(t.failed)
            .arg(t.wentAway)
            .arg(t.failedStayed)
            .arg(t.cutOff + t.interrupted));
    if (t.unreported || t.strayResults || t.oddSaves)
        say(QStringLiteral("anomalies: %1 boards never reported, %2 results for no board, %3 "
                           "failed boards whose save is not the image's first records")
                .arg(t.unreported)
                .arg(t.strayResults)
                .arg(t.oddSaves));
    say(QStringLiteral("false successes: %1").arg(t.falseSuccesses));
    say(QStringLiteral("station open files: %1 -> %2 (%3)")
            .arg(first.files)
            .arg(last.files)
            .arg(difference(first.files, last.files)));
    say(QStringLiteral("station threads: %1 -> %2 (%3)")
            .arg(first.threads)
            .arg(last.threads)
            .arg(difference(first.threads, last.threads)));
    say(QStringLiteral("station RSS: %1 KiB -> %2 KiB (%3 KiB: %4 KiB its own, %5 KiB of mapped "
                       "files)")
            .arg(first.rssKiB)
            .arg(last.rssKiB)
            .arg(difference(first.rssKiB, last.rssKiB))
            .arg(difference(first.anonKiB, last.anonKiB))
            .arg(difference(first.fileKiB, last.fileKiB)));
    const bool died = m_stationDied || !stopped || how != QProcess::NormalExit;
    say(QStringLiteral("station: %1, summary: loaded %2, failed %3")
            .arg(died ? QStringLiteral("DIED (%1)").arg(tailOf(m_dir.filePath("station.err")))
                      : QStringLiteral("exit %1").arg(code))
            .arg(m_summary.value("loaded").toInt(-1))
            .arg(m_summary.value("failed").toInt(-1)));
    if (m_interruptedByUser)
        return 130;
    return t.falseSuccesses > 0 || died ? 1 : 0;
}

void Soak::tick() {
    readStation();
    if (m_interruptedByUser) {
        m_loop.quit();
        return;
    }
    if (!m_station.running()) {
        m_stationDied = true;
        m_loop.quit();
        return;
    }
    const qint64 now = m_clock.elapsed();
    if (m_taking && now >= m_durationMs)
        m_taking = false;
    for (const auto &each : m_boards) {
        Board &board = *each;
        switch (board.state) {
        case Board::State::Pausing:
            if (!m_taking)
                board.state = Board::State::Done;
            else if (board.pauseEnds.hasExpired())
                startSim(board);
            break;
        case Board::State::Starting:
            takePort(board);
            break;
        case Board::State::Live:
            if (!board.sim->running() && !board.goneFor.isValid())
                board.goneFor.start();
            if ((board.goneFor.isValid() && board.goneFor.elapsed() > kResultAfterGoneMs) ||
                board.liveFor.elapsed() > kUploadLimitMs) {
                say(QStringLiteral("board%1 (seed %2): no result from the station")
                        .arg(board.slot)
                        .arg(board.seed));
                ++m_tally.unreported;
                finish(board, {});
            }
            break;
        case Board::State::Done:
            break;
        }
    }
    if (allDone()) {
        m_loop.quit();
    } else if (!m_taking && now >= m_durationMs + m_drainMs && m_cutOffEnds.isForever()) {
        // Boards still loading are unplugged, so that the station ends its last uploads itself
        // and is idle when its figures are taken.
        for (const auto &board : m_boards) {
            if (board->state == Board::State::Starting) {
                board->sim->kill();
                board->state = Board::State::Done;
            } else if (board->state == Board::State::Live) {
                board->cutOff = true;
                QFile::remove(board->link);
                board->sim->stop();
            }
        }
        m_cutOffEnds = QDeadlineTimer(kCutOffMs);
    } else if (m_cutOffEnds.hasExpired()) {
        m_loop.quit();
    }
}

bool Soak::allDone() const {
    for (const auto &board : m_boards) {
        if (board->state != Board::State::Done)
            return false;
    }
    return true;
}

void Soak::startSim(Board &board) {
    board.seed = m_seed++;
    board.savePath = m_dir.filePath(QStringLiteral("saved%1.bin").arg(board.slot));
    QFile::remove(board.savePath);
    QFile::remove(board.savePath + QStringLiteral(".json"));
    board.portLine.clear();
    board.taken = false;
    board.goneFor.invalidate();
    board.sim = std::make_unique<Child>();
    QProcess &sim = board.sim->process();
    sim.setStandardErrorFile(board.savePath + QStringLiteral(".err"));
    sim.start(QStringLiteral(BOOTLOADER_SIM_PROGRAM),
              {"--baud", "115200", "--chaos", QString::number(board.seed), "--save", board.savePath,
               "--report", board.savePath + QStringLiteral(".json")});
    board.state = Board::State::Starting;
    board.liveFor.start();
}

void Soak::takePort(Board &board) {
    QProcess &sim = board.sim->process();
    board.portLine += sim.readAllStandardOutput();
    if (!board.portLine.contains('\n')) {
        if (board.sim->running() && board.liveFor.elapsed() < 5000)
            return;
        say(QStringLiteral("board%1: bootloader-sim gave no port").arg(board.slot));
        board.sim->kill();
        board.state = Board::State::Pausing;
        board.pauseEnds = QDeadlineTimer(kPauseMs);
        return;
    }
    const QString port = QString::fromLocal8Bit(board.portLine.left(board.portLine.indexOf('\n')));
    QFile::remove(board.link);
    if (!QFile::link(port, board.link)) {
        say(QStringLiteral("board%1: cannot link %2").arg(board.slot).arg(port));
        board.sim->kill();
        board.state = Board::State::Pausing;
        board.pauseEnds = QDeadlineTimer(kPauseMs);
        return;
    }
    ++m_tally.started;
    board.state = Board::State::Live;
    board.liveFor.start();
}

void Soak::readStation() {
    QProcess &station = m_station.process();
    m_stationOut += station.readAllStandardOutput();
    for (int end = m_stationOut.indexOf('\n'); end >= 0; end = m_stationOut.indexOf('\n')) {
        const QByteArray line = m_stationOut.left(end);
        m_stationOut.remove(0, end + 1);
        const QJsonObject event = QJsonDocument::fromJson(line).object();
        if (!event.isEmpty())
            onEvent(event);
    }
}

void Soak::onEvent(const QJsonObject &event) {
    const QString kind = event.value("event").toString();
    if (kind == QLatin1String("summary")) {
        m_summary = event;
        return;
    }
    if (kind != QLatin1String("start") && kind != QLatin1String("result"))
        return;
    const QString port = event.value("port").toString();
    for (const auto &board : m_boards) {
        if (board->link != port || board->state != Board::State::Live)
            continue;
        if (kind == QLatin1String("start"))
            board->taken = true;
        else
            finish(*board, event);
        return;
    }
    if (kind == QLatin1String("result")) {
        say(QStringLiteral("a result for no board: %1")
                .arg(QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Compact))));
        ++m_tally.strayResults;
    }
}

void Soak::finish(Board &board, const QJsonObject &result) {
    // The name goes first, so the station forgets it before the next board takes it.
    QFile::remove(board.link);
    const bool stopped = board.sim->stop();
    const QProcess &sim = board.sim->process();
    const bool savedAtAll =
        stopped && sim.exitStatus() == QProcess::NormalExit && sim.exitCode() == 0;
    QFile saved(board.savePath);
    const QByteArray save = saved.open(QIODevice::ReadOnly) ? saved.readAll() : QByteArray();
    // A simulator that went away as chaos drew it says so in its report.
    QFile report(board.savePath + QStringLiteral(".json"));
    const bool wentAway =
        report.open(QIODevice::ReadOnly) &&
        QJsonDocument::fromJson(report.readAll()).object().value("went_away").toBool();

    if (!result.isEmpty()) {
        const bool ok = result.value("ok").toBool();
        if (result.value("interrupted").toBool())
            ++m_tally.interrupted;
        else if (ok)
            ++m_tally.loaded;
        else if (board.cutOff)
            ++m_tally.cutOff;
        else
            ++m_tally.failed;
        if (ok && save != m_expected) {
            ++m_tally.falseSuccesses;
            say(QStringLiteral("FALSE SUCCESS on board%1 (seed %2): the simulator saved %3 bytes "
                               "(%4 records), the image's records are %5 bytes (%6 records)%7")
                    .arg(board.slot)
                    .arg(board.seed)
                    .arg(save.size())
                    .arg(save.count('}'))
                    .arg(m_expected.size())
                    .arg(m_records.size())
                    .arg(savedAtAll ? QString() : QStringLiteral("; it saved nothing")));
        }
        if (!ok && !result.value("interrupted").toBool() && !board.cutOff) {
            if (wentAway) {
                ++m_tally.wentAway;
            } else {
                ++m_tally.failedStayed;
                say(QStringLiteral("board%1 (seed %2) failed while still there: %3")
                        .arg(board.slot)
                        .arg(board.seed)
                        .arg(result.value("cause").toString()));
            }
        }
    }
    if (result.isEmpty() || !result.value("ok").toBool()) {
        // What a board that did not load acknowledged is the image's first records, in order.
        if (savedAtAll && !m_expected.startsWith(save)) {
            ++m_tally.oddSaves;
            say(QStringLiteral("board%1 (seed %2): saved %3 bytes that are not the image's first "
                               "records")
                    .arg(board.slot)
                    .arg(board.seed)
                    .arg(save.size()));
        }
    }
    board.sim.reset();
    board.state = m_taking ? Board::State::Pausing : Board::State::Done;
    board.pauseEnds = QDeadlineTimer(kPauseMs);
}

QString Soak::tailOf(const QString &path) const {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("no output");
    const QList<QByteArray> lines = file.readAll().trimmed().split('\n');
    return QString::fromLocal8Bit(lines.mid(qMax(0, lines.size() - 3)).join(" / "));
}

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 0;
    (void)!::write(signalPipe[1], &byte, 1);
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Runs bootloader-cli's station against simulated boards under chaos that "
                       "come and go, and checks every board it reports loaded."));
    parser.addHelpOption();
    const QCommandLineOption seconds(QStringLiteral("seconds"),
                                     QStringLiteral("Runs for <s> seconds instead of minutes."),
                                     QStringLiteral("s"));
    parser.addOption(seconds);
    parser.addPositionalArgument(QStringLiteral("minutes"), QStringLiteral("How long (10)."),
                                 QStringLiteral("[minutes]"));
    parser.addPositionalArgument(QStringLiteral("boards"), QStringLiteral("Boards at once (8)."),
                                 QStringLiteral("[boards]"));
    parser.process(app);

    QStringList operands = parser.positionalArguments();
    double durationS = 600;
    bool ok = true;
    if (parser.isSet(seconds)) {
        durationS = parser.value(seconds).toDouble(&ok);
    } else if (!operands.isEmpty()) {
        durationS = operands.takeFirst().toDouble(&ok) * 60;
    }
    int boards = 8;
    if (ok && !operands.isEmpty())
        boards = operands.takeFirst().toInt(&ok);
    if (!ok || durationS <= 0 || boards < 1 || !operands.isEmpty()) {
        std::fputs("Usage: bench_soak [minutes] [boards] | bench_soak --seconds S [boards]\n",
                   stderr);
        return 64;
    }

    Soak soak(qint64(durationS * 1000), boards);
    // Stopped by hand: the soak ends its programs and removes its folder on the way out.
    if (::pipe(signalPipe) != 0)
        return 1;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    QSocketNotifier stopNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &soak, [&soak] {
        say(QStringLiteral("soak: stopped by a signal"));
        soak.interrupt();
    });
    return soak.run();
}
