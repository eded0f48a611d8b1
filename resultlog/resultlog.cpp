#include "resultlog.h"

#include "bootloader_version.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSysInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace resultlog {

namespace {

QString systemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// Holds the file's lock, which every writer of the log takes around what it writes.
class FileLock {
public:
    explicit FileLock(int fd)
        : m_fd(fd) {
        while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~FileLock() { ::flock(m_fd, LOCK_UN); }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

private:
    int m_fd;
};

// Writes all of bytes; false with errno set when the system refused some of it.
bool writeAll(int fd, const char *bytes, qint64 size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size_t(size));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += written;
        size -= written;
    }
    return true;
}

// A cause without what differs from board to board (ports, record numbers), so that boards that
// failed alike are counted together.
QString causeKind(const QJsonObject &line) {
    QString cause = line.value(QLatin1String("cause")).toString();
    if (cause.isEmpty())
        return line.value(QLatin1String("outcome")).toString();
    for (const char *key : {"path", "port"}) {
        const QString name = line.value(QLatin1String(key)).toString();
        if (!name.isEmpty())
            cause.replace(name, QStringLiteral("PORT"));
    }
    static const QRegularExpression number(QStringLiteral("\\d+"));
    return cause.replace(number, QStringLiteral("N"));
}

} // namespace

ResultLog::~ResultLog() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool ResultLog::open(const QString &path, QString *error) {
    const QByteArray name = QFile::encodeName(path);
    const int fd =
        ::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        *error = systemText(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = QStringLiteral("not a regular file");
        ::close(fd);
        return false;
    }
    {
        FileLock lock(fd);
        // The last byte tells whether the last line was written whole.
        char last = '\n';
        const off_t size = ::lseek(fd, 0, SEEK_END);
        const int reader = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (size > 0 && reader >= 0 && ::pread(reader, &last, 1, size - 1) != 1)
            last = '\n';
        if (reader >= 0)
            ::close(reader);
        if (last != '\n' && (!writeAll(fd, "\n", 1) || ::fsync(fd) != 0)) {
            *error = systemText(errno);
            ::close(fd);
            return false;
        }
    }
    m_fd = fd;
    m_path = path;
    return true;
}

bool ResultLog::append(const QJsonObject &line, QString *error) {
    const QByteArray bytes = QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_fd < 0) {
        *error = QStringLiteral("the log is not open");
        return false;
    }
    FileLock lock(m_fd);
    // One write: with O_APPEND it lands whole at the end, after any other writer's line.
    const ssize_t written = ::write(m_fd, bytes.constData(), size_t(bytes.size()));
    if (written != bytes.size()) {
        *error = written < 0 ? systemText(errno) : QStringLiteral("the disk took only part of it");
        return false;
    }
    if (::fsync(m_fd) != 0) {
        *error = systemText(errno);
        return false;
    }
    return true;
}

QJsonObject boardLine(QJsonObject result, const QString &image, const QString &sha256) {
    result.insert(QStringLiteral("time"),
                  QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    result.insert(QStringLiteral("image"), image);
    result.insert(QStringLiteral("sha256"), sha256);
    result.insert(QStringLiteral("host"), QSysInfo::machineHostName());
    result.insert(QStringLiteral("version"), QString::fromLatin1(bootloader::kVersion));
    return result;
}

Report summarize(const QByteArray &contents) {
    Report report;
    QHash<QString, int> loads;
    const QList<QByteArray> lines = contents.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray &text = lines.at(i);
        // The piece after the last line end is empty for a log whose last line is whole.
        if (text.isEmpty())
            continue;
        QJsonParseError parsed{};
        const QJsonDocument document = QJsonDocument::fromJson(text, &parsed);
        if (parsed.error != QJsonParseError::NoError || !document.isObject() ||
            i == lines.size() - 1) {
            ++report.skipped;
            continue;
        }
        const QJsonObject line = document.object();
        const bool ok = line.value(QLatin1String("ok")).toBool();
        Report::Tally &digest = report.byDigest[line.value(QLatin1String("sha256")).toString()];
        if (ok) {
            ++report.loaded;
            ++digest.loaded;
            const QString serial = line.value(QLatin1String("serial")).toString();
            if (!serial.isEmpty())
                ++loads[serial];
        } else {
            ++report.failed;
            ++digest.failed;
            ++report.byCause[causeKind(line)];
        }
    }
    for (auto it = loads.constBegin(); it != loads.constEnd(); ++it) {
        if (it.value() > 1)
            report.loadedAgain.insert(it.key(), it.value());
    }
    return report;
}

bool summarize(const QString &path, Report *report, QString *error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return false;
    }
    const QByteArray contents = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        *error = file.errorString();
        return false;
    }
    *report = summarize(contents);
    return true;
}

QString reportText(const Report &report) {
    QStringList lines;
    lines << QStringLiteral("boards loaded: %1").arg(report.loaded)
          << QStringLiteral("boards failed: %1").arg(report.failed);
    if (report.skipped > 0)
        lines << QStringLiteral("lines left out (torn or not JSON): %1").arg(report.skipped);
    for (auto it = report.byDigest.constBegin(); it != report.byDigest.constEnd(); ++it)
        lines << QStringLiteral("image %1: %2 loaded, %3 failed")
                     .arg(it.key().isEmpty() ? QStringLiteral("-") : it.key())
                     .arg(it.value().loaded)
                     .arg(it.value().failed);
    for (auto it = report.byCause.constBegin(); it != report.byCause.constEnd(); ++it)
        lines << QStringLiteral("failed %1 times: %2").arg(it.value()).arg(it.key());
    for (auto it = report.loadedAgain.constBegin(); it != report.loadedAgain.constEnd(); ++it)
        lines << QStringLiteral("serial %1 loaded %2 times").arg(it.key()).arg(it.value());
    return lines.join(QLatin1Char('\n'));
}

QJsonObject reportJson(const Report &report) {
    QJsonArray images;
    for (auto it = report.byDigest.constBegin(); it != report.byDigest.constEnd(); ++it)
        images.append(QJsonObject{
            {"sha256", it.key().isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(it.key())},
            {"loaded", it.value().loaded},
            {"failed", it.value().failed}});
    QJsonArray causes;
    for (auto it = report.byCause.constBegin(); it != report.byCause.constEnd(); ++it)
        causes.append(QJsonObject{{"cause", it.key()}, {"failed", it.value()}});
    QJsonArray again;
    for (auto it = report.loadedAgain.constBegin(); it != report.loadedAgain.constEnd(); ++it)
        again.append(QJsonObject{{"serial", it.key()}, {"loaded", it.value()}});
    return QJsonObject{{"loaded", report.loaded},   {"failed", report.failed},
                       {"skipped", report.skipped}, {"images", images},
                       {"causes", causes},          {"loaded_again", again}};
}

} // namespace resultlog
