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

} // namespace jobs
