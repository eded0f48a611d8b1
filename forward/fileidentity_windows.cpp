// The identities of files on Windows: their volume's serial number and their file index.

#include "fileidentity.h"

#include <QFile>

#include <io.h>
#include <windows.h>

namespace forward {

namespace {

FileIdentity identityOfHandle(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info))
        return {};
    return {quint64(info.dwVolumeSerialNumber),
            (quint64(info.nFileIndexHigh) << 32) | quint64(info.nFileIndexLow)};
}

} // namespace

FileIdentity identityOf(const QString &path) {
    const HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const FileIdentity identity = identityOfHandle(handle);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    return identity;
}

FileIdentity identityOf(QFile &file) {
    if (file.handle() < 0)
        return {};
    return identityOfHandle(reinterpret_cast<HANDLE>(_get_osfhandle(file.handle())));
}

} // namespace forward
