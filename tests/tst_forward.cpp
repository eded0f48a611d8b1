// bootloader-cli forward against a PostgreSQL cluster of the test's own, started with initdb and
// pg_ctl in a temporary folder and listening on a Unix socket there only.

#include "resultlog.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <pwd.h>
#include <unistd.h>

namespace {

// A cluster in a folder of its own, stopped as the value goes, also when a test fails. Run as
// the user postgres (or nobody) when the test runs as root, since initdb refuses root.
class Cluster {
public:
    Cluster() {
        const QStringList found = QDir(QStringLiteral("/usr/lib/postgresql"))
                                      .entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
        if (found.isEmpty()) {
            m_missing = QStringLiteral("PostgreSQL is not installed (/usr/lib/postgresql/*/bin)");
            return;
        }
        m_bin = QStringLiteral("/usr/lib/postgresql/%1/bin/").arg(found.last());
        if (::geteuid() == 0) {
            const struct passwd *user = ::getpwnam("postgres");
            user = user ? user : ::getpwnam("nobody");
            if (!user || ::chown(QFile::encodeName(m_dir.path()).constData(), user->pw_uid,
                                 user->pw_gid) != 0) {
                m_missing =
                    QStringLiteral("running as root, with no user postgres or nobody for initdb");
                return;
            }
            m_as = QStringList{"-u", QString::fromLocal8Bit(user->pw_name), "--"};
        }
        if (!pg(QStringLiteral("initdb"), {"-D", data(), "-A", "trust", "-U", "postgres"}))
            m_missing = QStringLiteral("initdb failed");
        else
            start();
    }
    ~Cluster() { stop(); }
    const QString &missing() const { return m_missing; }
    QString url() const {
        return QStringLiteral("postgresql:///postgres?user=postgres&host=") + m_dir.path();
    }
    bool start() {
        return m_up = m_up || pg(QStringLiteral("pg_ctl"),
                                 {"-D", data(), "-w", "-l", m_dir.filePath("log"), "-o",
                                  "-k " + m_dir.path() + " -c listen_addresses=''", "start"});
    }
    void stop() {
        if (m_up)
            pg(QStringLiteral("pg_ctl"), {"-D", data(), "-w", "-m", "immediate", "stop"});
        m_up = false;
    }
    // The first column of the query's rows.
    QStringList query(const QString &sql) const {
        QStringList rows;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QPSQL", "check");
            db.setHostName(m_dir.path());
            db.setUserName("postgres");
            db.setDatabaseName("postgres");
            QSqlQuery query(db);
            if (db.open() && query.exec(sql))
                while (query.next())
                    rows << query.value(0).toString();
        }
        QSqlDatabase::removeDatabase("check");
        return rows;
    }

private:
    QString data() const { return m_dir.filePath("data"); }
    bool pg(const QString &program, const QStringList &args) const {
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setStandardOutputFile(QProcess::nullDevice());
        if (m_as.isEmpty())
            process.start(m_bin + program, args);
        else
            process.start("runuser", m_as + QStringList{m_bin + program} + args);
        return process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == 0;
    }

    QTemporaryDir m_dir;
    QString m_bin;
    QStringList m_as;
    QString m_missing;
    bool m_up = false;
};

// n records of station on the log at path, written as a station writes them; their ids.
QStringList appendRecords(const QString &path, const QString &station, int n) {
    resultlog::ResultLog log;
    QStringList ids;
    QString error;
    if (!log.open(path, &error))
        return ids;
    for (int i = 0; i < n; ++i) {
        resultlog::Record record = resultlog::Record::now();
        record.station = station;
        record.port = QStringLiteral("/dev/ttyUSB%1").arg(i % 16);
        record.loaded = i % 7 != 0;
        // Some units come back: loaded again, or loaded after failing first.
        record.unit = QStringLiteral("U%1").arg(i % 11);
        if (log.append(record.toJson(), &error))
            ids << record.id;
    }
    return ids;
}

} // namespace

class TestForward : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void storedOnceWhateverTheRoute_data();
    void storedOnceWhateverTheRoute();
    void killedForwarderLosesAndDoublesNothing();

private:
    QProcess *forward(const QString &log, const QStringList &more = {});
    int forwardOnce(const QString &log);
    bool waitForRows(int rows);
    static QByteArray cliOutput(const QStringList &args);

    std::unique_ptr<Cluster> m_cluster;
    std::unique_ptr<QTemporaryDir> m_files;
    std::vector<std::unique_ptr<QProcess>> m_forwarders;
};

void TestForward::initTestCase() {
    m_cluster = std::make_unique<Cluster>();
    if (!m_cluster->missing().isEmpty())
        QSKIP(qPrintable(m_cluster->missing()));
    QProcess init;
    init.start(BOOTLOADER_CLI, {"forward", "--init", "--to", m_cluster->url()});
    QVERIFY(init.waitForFinished(60000));
    QCOMPARE(init.exitCode(), 0);
}

void TestForward::init() {
    QVERIFY(m_cluster->start());
    QVERIFY(m_cluster->query("TRUNCATE boards, forward_places").isEmpty());
    m_files = std::make_unique<QTemporaryDir>();
}

// Forwarders end with the test, as a station's manager would end them: TERM, and within a second.
void TestForward::cleanup() {
    for (auto &process : m_forwarders) {
        QElapsedTimer timer;
        timer.start();
        process->terminate();
        QVERIFY(process->waitForFinished(10000));
        QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(process->exitCode(), 143);
    }
    m_forwarders.clear();
}

QProcess *TestForward::forward(const QString &log, const QStringList &more) {
    m_forwarders.push_back(std::make_unique<QProcess>());
    QProcess *process = m_forwarders.back().get();
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->start(BOOTLOADER_CLI, QStringList{"forward", log, "--to", m_cluster->url()} + more);
    return process;
}

int TestForward::forwardOnce(const QString &log) {
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(BOOTLOADER_CLI, {"forward", log, "--once", "--to", m_cluster->url()});
    return process.waitForFinished(120000) ? process.exitCode() : -1;
}

QByteArray TestForward::cliOutput(const QStringList &args) {
    QProcess process;
    process.start(BOOTLOADER_CLI, args);
    process.waitForFinished(60000);
    return process.exitCode() == 0 ? process.readAllStandardOutput() : QByteArray("failed");
}

bool TestForward::waitForRows(int rows) {
    QElapsedTimer timer;
    timer.start();
    while (m_cluster->query("SELECT count(*) FROM boards").value(0).toInt() < rows &&
           timer.elapsed() < 60000)
        QThread::msleep(100);
    return m_cluster->query("SELECT count(*) FROM boards").value(0).toInt() == rows;
}

void TestForward::storedOnceWhateverTheRoute_data() {
    QTest::addColumn<QString>("route");
    QTest::newRow("forwarded twice, and a copy of the log too") << "twice";
    QTest::newRow("log rotated while forwarded") << "rotated";
    QTest::newRow("database down at start, then back") << "down";
    QTest::newRow("two stations into one database") << "two";
}

// Every board's line is one row, by its id, and no other row is there.
void TestForward::storedOnceWhateverTheRoute() {
    QFETCH(QString, route);
    const QString log = m_files->filePath("results.log");
    QStringList ids = appendRecords(log, "line1", 30);
    // A line of 1.0.0.0, which names no id, and a torn last line, which is no board's yet.
    QFile file(log);
    QVERIFY(file.open(QIODevice::Append));
    const QByteArray old = R"({"event":"result","port":"/dev/ttyUSB0","ok":true})";
    file.write(old + "\n{\"record\":1,\"port\":\"/dev/tty");
    file.close();
    ids << resultlog::idOf(QJsonDocument::fromJson(old).object(), old);
    if (route == "twice") {
        QCOMPARE(forwardOnce(log), 0);
        QCOMPARE(forwardOnce(log), 0);
        QVERIFY(QFile::copy(log, m_files->filePath("copy.log")));
        QCOMPARE(forwardOnce(m_files->filePath("copy.log")), 0);
    } else if (route == "rotated") {
        forward(log);
        QVERIFY(waitForRows(ids.size()));
        ids += appendRecords(log, "line1", 20);
        QVERIFY(QFile::rename(log, log + ".1"));
        ids += appendRecords(log, "line1", 20);
    } else if (route == "down") {
        m_cluster->stop();
        forward(log);
        QThread::msleep(1500);
        ids += appendRecords(log, "line1", 20);
        QVERIFY(m_cluster->start());
    } else {
        forward(log);
        const QString second = m_files->filePath("second.log");
        ids += appendRecords(second, "line2", 40);
        forward(second);
        QVERIFY(waitForRows(ids.size()));
        QCOMPARE(m_cluster->query("SELECT count(*) FROM boards WHERE station = 'line2'"),
                 QStringList{"40"});
        // The database's report of a station is that of its log, in each form.
        for (const QStringList &form : {QStringList{}, {"--json"}, {"--csv"}})
            QCOMPARE(
                cliOutput(form + QStringList{"report", m_cluster->url(), "--station", "line2"}),
                cliOutput(form + QStringList{"report", second}));
    }
    QVERIFY(waitForRows(ids.size()));
    QStringList stored = m_cluster->query("SELECT id FROM boards");
    stored.sort();
    ids.sort();
    QCOMPARE(stored, ids);
}

// Killed outright at any moment, a forwarder leaves the database with exactly the lines before
// the place it keeps there; started again, it goes on from that place to the end.
void TestForward::killedForwarderLosesAndDoublesNothing() {
    const QString log = m_files->filePath("results.log");
    const QStringList ids = appendRecords(log, "line1", 6000);
    QVERIFY(ids.size() == 6000);
    for (int kill = 0; kill < 8; ++kill) {
        QProcess *process = forward(log);
        QVERIFY(process->waitForStarted());
        QThread::msleep(40 + 60 * kill);
        ::kill(pid_t(process->processId()), SIGKILL);
        QVERIFY(process->waitForFinished(10000));
        m_forwarders.clear();
        const QStringList offset = m_cluster->query("SELECT \"offset\" FROM forward_places");
        QFile file(log);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const int before = int(file.read(offset.value(0).toLongLong()).count('\n'));
        QCOMPARE(m_cluster->query("SELECT count(*) FROM boards"),
                 QStringList{QString::number(before)});
    }
    QCOMPARE(forwardOnce(log), 0);
    QCOMPARE(m_cluster->query("SELECT count(*) FROM boards"), QStringList{"6000"});
}

QTEST_GUILESS_MAIN(TestForward)
#include "tst_forward.moc"
