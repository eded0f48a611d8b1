#include "slotslock.h"

#include <io.h>
#include <windows.h>

namespace jobs::slotslock {

bool tryLock(int fd) {
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    OVERLAPPED whole{};
    return ::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                        MAXDWORD, &whole) != 0;
}

// A file open on Windows cannot be replaced by a rename: the name always names it.
std::optional<QByteArray> identityOf(int) {
    return std::nullopt;
}

std::optional<QByteArray> identityOf(const QByteArray &) {
    return std::nullopt;
}

} // namespace jobs::slotslock
