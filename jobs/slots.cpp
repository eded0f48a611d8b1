#include "slots.h"

#include "ports.h"

#include <QFile>
#include <QRegularExpression>

namespace jobs {

namespace {

// Two names for one port: USB identities go by their hex digits, whatever their case.
QString portKey(const QString &port) {
    return ports::isUsbIdentity(port) ? port.toLower() : port;
}

} // namespace

std::optional<std::vector<Slot>> readSlots(const QString &file, QString *error) {
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("%1: %2").arg(file, in.errorString());
        return std::nullopt;
    }
    std::vector<Slot> found;
    int number = 0;
    const auto refuse = [&](const QString &what) {
        *error = QStringLiteral("%1:%2: %3").arg(file).arg(number).arg(what);
        return std::nullopt;
    };
    while (!in.atEnd()) {
        ++number;
        QString line = QString::fromUtf8(in.readLine());
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
        if (slot.port.contains(QRegularExpression(QStringLiteral("[*?[]"))))
            return refuse(QStringLiteral("a slot's port is one path or usb:VID:PID:SERIAL, not a "
                                         "pattern: %1")
                              .arg(slot.port));
        const QString wrong = ports::operandError(slot.port);
        if (!wrong.isEmpty())
            return refuse(wrong);
        for (const Slot &other : found) {
            if (other.label == slot.label)
                return refuse(QStringLiteral("the label %1 is given twice").arg(slot.label));
            if (portKey(other.port) == portKey(slot.port))
                return refuse(QStringLiteral("%1 is the port of %2 already, not also of %3")
                                  .arg(slot.port, other.label, slot.label));
        }
        found.push_back(slot);
    }
    if (in.error() != QFileDevice::NoError) {
        *error = QStringLiteral("%1: %2").arg(file, in.errorString());
        return std::nullopt;
    }
    return found;
}

SlotsFile::Failure SlotsFile::open(const QString &path, QString *error) {
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::ReadWrite | QIODevice::Append) || !m_file.seek(0)) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, m_file.errorString());
        return Failure::Unreadable;
    }
    const QByteArray text = m_file.readAll();
    const std::optional<std::vector<Slot>> existing = readSlots(path, error);
    if (!existing)
        return Failure::Refused;
    for (const Slot &each : *existing)
        m_ports << each.port;
    m_count = int(m_ports.size());
    // A slot starts a line of its own.
    m_lineEnd = text.isEmpty() || text.endsWith('\n') ? QByteArray() : QByteArray("\n");
    return Failure::None;
}

QString SlotsFile::append(const QString &port, QString *error) {
    const QString slot = QStringLiteral("Slot %1 = %2").arg(m_count + 1).arg(port);
    const QByteArray line = m_lineEnd + slot.toUtf8() + '\n';
    if (m_file.write(line) != line.size() || !m_file.flush()) {
        *error = QStringLiteral("cannot write %1: %2").arg(m_file.fileName(), m_file.errorString());
        return QString();
    }
    m_lineEnd.clear();
    ++m_count;
    return slot;
}

} // namespace jobs
