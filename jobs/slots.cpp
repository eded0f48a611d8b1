#include "slots.h"

#include "portcheck.h"
#include "ports.h"
#include "slotslock.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>

namespace jobs {

namespace {

// One port's names all give one key: USB identities go by their hex digits, whatever their
// case, and paths as cleaned ("/dev//x" and "/dev/./x" are "/dev/x").
QString portKey(const QString &port) {
    return ports::isUsbIdentity(port) ? port.toLower() : QDir::cleanPath(port);
}

bool hasControl(const QString &text) {
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control)
            return true;
    }
    return false;
}

// The slots of text, the contents of file; an empty list when it holds none.
std::optional<std::vector<Slot>> parseSlots(const QByteArray &text, const QString &file,
                                            QString *error) {
    std::vector<Slot> found;
    // Who has each port, by its key and by its device: each line is checked once against all
    // the lines before it.
    QHash<QString, QString> labels;
    QHash<QString, QString> byKey;
    QHash<quint64, QString> byDevice;
    int number = 0;
    const auto refuse = [&](const QString &what) {
        *error = QStringLiteral("%1:%2: %3").arg(file).arg(number).arg(what);
        return std::nullopt;
    };
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        // The text after the last line end is no line.
        if (i == lines.size() - 1 && lines[i].isEmpty())
            break;
        ++number;
        QString line = QString::fromUtf8(lines[i]);
        const int hash = line.indexOf(QLatin1Char('#'));
        if (hash >= 0)
            line.truncate(hash);
        line = line.trimmed();
        if (line.isEmpty())
            continue;
        const int equals = line.indexOf(QLatin1Char('='));
        const Slot slot{line.left(equals).trimmed(), line.mid(equals + 1).trimmed()};
        if (equals < 0 || slot.label.isEmpty() || slot.port.isEmpty())
            return refuse(QStringLiteral("expected LABEL = PORT"));
        if (line.indexOf(QLatin1Char('='), equals + 1) >= 0)
            return refuse(QStringLiteral("expected LABEL = PORT, with one '=': a label holds "
                                         "no '='"));
        if (hasControl(slot.label))
            return refuse(QStringLiteral("a label holds no control character"));
        if (slot.port.contains(QRegularExpression(QStringLiteral("[*?[]"))))
            return refuse(QStringLiteral("a slot's port is one path or usb:VID:PID:SERIAL, not a "
                                         "pattern: %1")
                              .arg(slot.port));
        const QString wrong = ports::operandError(slot.port);
        if (!wrong.isEmpty())
            return refuse(wrong);
        if (labels.contains(slot.label))
            return refuse(QStringLiteral("the label %1 is given twice").arg(slot.label));
        const QString key = portKey(slot.port);
        QString other = byKey.value(key);
        std::optional<ports::DeviceNode> device;
        if (other.isEmpty() && !ports::isUsbIdentity(slot.port)) {
            device = ports::deviceNode(QFile::encodeName(slot.port));
            if (device)
                other = byDevice.value(device->number);
        }
        if (!other.isEmpty())
            return refuse(QStringLiteral("%1 is the port of %2 already, not also of %3")
                              .arg(slot.port, other, slot.label));
        labels.insert(slot.label, slot.port);
        byKey.insert(key, slot.label);
        if (device)
            byDevice.insert(device->number, slot.label);
        found.push_back(slot);
    }
    return found;
}

// The number after the highest "Slot N" label.
int nextNumber(const std::vector<Slot> &list) {
    static const QRegularExpression numbered(QStringLiteral("^Slot ([0-9]{1,9})$"));
    int highest = 0;
    for (const Slot &slot : list) {
        const QRegularExpressionMatch match = numbered.match(slot.label);
        if (match.hasMatch())
            highest = qMax(highest, match.captured(1).toInt());
    }
    return highest + 1;
}

} // namespace

std::optional<std::vector<Slot>> readSlots(const QString &file, QString *error) {
    // Checked before the open: a FIFO's open waits for a writer, and no stop request ends it.
    const QFileInfo info(file);
    if (info.exists() && !info.isFile()) {
        *error = QStringLiteral("%1: not a regular file").arg(file);
        return std::nullopt;
    }
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: %2").arg(file, in.errorString());
        return std::nullopt;
    }
    const QByteArray text = in.readAll();
    if (in.error() != QFileDevice::NoError) {
        *error = QStringLiteral("%1: %2").arg(file, in.errorString());
        return std::nullopt;
    }
    std::optional<std::vector<Slot>> found = parseSlots(text, file, error);
    if (found && found->empty()) {
        *error = QStringLiteral("%1: no slot in it (a slots file has a LABEL = PORT line for "
                                "each slot)")
                     .arg(file);
        return std::nullopt;
    }
    return found;
}

SlotsFile::Failure SlotsFile::openLocked(QString *error) {
    const QFileInfo info(m_path);
    if (info.exists() && !info.isFile()) {
        *error = QStringLiteral("%1: not a regular file").arg(m_path);
        return Failure::Refused;
    }
    m_file.close();
    m_file.setFileName(m_path);
    if (!m_file.open(QIODevice::ReadWrite | QIODevice::Append)) {
        *error = QStringLiteral("cannot write %1: %2").arg(m_path, m_file.errorString());
        return Failure::Unreadable;
    }
    if (!slotslock::tryLock(m_file.handle())) {
        *error = QStringLiteral("%1 is being added to by another process").arg(m_path);
        m_file.close();
        return Failure::Refused;
    }
    return Failure::None;
}

SlotsFile::Failure SlotsFile::open(const QString &path, QString *error) {
    m_path = path;
    const Failure failure = openLocked(error);
    if (failure != Failure::None)
        return failure;
    if (!m_file.seek(0)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, m_file.errorString());
        return Failure::Unreadable;
    }
    const std::optional<std::vector<Slot>> existing = parseSlots(m_file.readAll(), path, error);
    if (!existing)
        return Failure::Refused;
    for (const Slot &each : *existing)
        m_ports << each.port;
    return Failure::None;
}

QString SlotsFile::append(const QString &port, QString *error) {
    // Replaced under its name (or removed): the file now at the name is the one added to.
    const std::optional<QByteArray> open = slotslock::identityOf(m_file.handle());
    if (open && open != slotslock::identityOf(QFile::encodeName(m_path)) &&
        openLocked(error) != Failure::None)
        return QString();
    // As it is now, hand edits and all.
    if (!m_file.seek(0)) {
        *error = QStringLiteral("cannot read %1: %2").arg(m_path, m_file.errorString());
        return QString();
    }
    const QByteArray text = m_file.readAll();
    const std::optional<std::vector<Slot>> existing = parseSlots(text, m_path, error);
    if (!existing) {
        *error = QStringLiteral("cannot add to ") + *error;
        return QString();
    }
    const QString key = portKey(port);
    for (const Slot &slot : *existing) {
        if (portKey(slot.port) == key)
            return QString();
    }
    const QString slot = QStringLiteral("Slot %1 = %2").arg(nextNumber(*existing)).arg(port);
    // A slot starts a line of its own.
    const QByteArray lineEnd = text.isEmpty() || text.endsWith('\n') ? QByteArray() : "\n";
    const QByteArray line = lineEnd + slot.toUtf8() + '\n';
    if (m_file.write(line) != line.size() || !m_file.flush()) {
        *error = QStringLiteral("cannot write %1: %2").arg(m_path, m_file.errorString());
        return QString();
    }
    return slot;
}

} // namespace jobs
