// The results log's files on Windows: opened anew for each line, so that each line goes to the
// file the path names then, and locked around what is written.

#include "resultlog.h"

#include <QFile>
#include <QJsonDocument>

#include <io.h>
#include <windows.h>

namespace resultlog {

namespace {

HANDLE handleOf(const QFile &file) {
    return HANDLE(_get_osfhandle(file.handle()));
}

// Opens path into file with mode, refusing a device or a pipe: only a file on a disk is a log.
bool openFile(const QString &path, QIODevice::OpenMode mode, QFile *file, QString *error) {
    file->setFileName(path);
    if (!file->open(mode)) {
        *error = file->errorString();
        return false;
    }
    if (GetFileType(handleOf(*file)) != FILE_TYPE_DISK) {
        *error = QStringLiteral("not a regular file");
        file->close();
        return false;
    }
    return true;
}

// Holds the file's lock, which every writer of the log takes around what it writes.
class FileLock {
public:
    explicit FileLock(const QFile &file)
        : m_handle(handleOf(file)) {
        LockFileEx(m_handle, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &m_overlapped);
    }
    ~FileLock() { UnlockFileEx(m_handle, 0, MAXDWORD, MAXDWORD, &m_overlapped); }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

private:
    HANDLE m_handle;
    OVERLAPPED m_overlapped{};
};

// Writes bytes at the end of file, where another writer may have written since it was opened,
// and syncs them to the disk.
bool writeAtEnd(QFile &file, const QByteArray &bytes, QString *error) {
    FileLock lock(file);
    if (!file.seek(file.size()) || file.write(bytes) != bytes.size() || !file.flush() ||
        !FlushFileBuffers(handleOf(file))) {
        *error = file.errorString();
        return false;
    }
    return true;
}

} // namespace

ResultLog::~ResultLog() = default;

bool ResultLog::open(const QString &path, QString *error) {
    std::lock_guard<std::mutex> guard(m_mutex);
    QFile file;
    if (!openFile(path, QIODevice::ReadWrite, &file, error))
        return false;
    // The last byte tells whether the last line was written whole.
    char last = '\n';
    if (file.size() > 0 && (!file.seek(file.size() - 1) || !file.getChar(&last)))
        last = '\n';
    if (last != '\n' && !writeAtEnd(file, QByteArray(1, '\n'), error))
        return false;
    m_path = path;
    m_fd = 0; // the log could be opened; each line opens it anew
    return true;
}

bool ResultLog::append(const QJsonObject &line, QString *error) {
    const QByteArray bytes = QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_fd < 0) {
        *error = QStringLiteral("the log is not open");
        return false;
    }
    QFile file;
    return openFile(m_path, QIODevice::WriteOnly | QIODevice::Append, &file, error) &&
           writeAtEnd(file, bytes, error);
}

bool openForReading(const QString &path, QFile *file, QString *error) {
    return openFile(path, QIODevice::ReadOnly, file, error);
}

} // namespace resultlog
