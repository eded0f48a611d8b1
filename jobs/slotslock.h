#pragma once

#include <QByteArray>

#include <optional>

// What a slots file being added to needs of the system: a lock no second writer gets, and the
// identity of a file, to see it replaced under its name (an editor saving by rename).
namespace jobs::slotslock {

// Locks the file open as fd for this process alone, without waiting; false when another holds
// it.
bool tryLock(int fd);

// The identity of the file open as fd, and of the file path names now; nothing where it cannot
// be told (the file gone, or a system that does not say).
std::optional<QByteArray> identityOf(int fd);
std::optional<QByteArray> identityOf(const QByteArray &path);

} // namespace jobs::slotslock
