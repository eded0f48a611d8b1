#include "ports.h"

#include <cerrno>

// Why a port could not be opened, from what its open said.
namespace ports {

transfer::Cause whyNotOpened(const QString &port, const QString &path,
                             const transfer::LinkFailure &failure,
                             const std::optional<PortList> &ports) {
    using Kind = transfer::Cause::Kind;
    transfer::Cause cause;
    cause.port = port;
    cause.path = path;
    cause.systemError = failure.systemError;
    cause.systemText = failure.errorText;
    const auto as = [&cause](Kind kind) {
        cause.kind = kind;
        return cause;
    };
    const auto missing = [&] {
        cause.listed = ports.has_value();
        cause.present = ports ? presentNames(*ports) : QStringList();
        return as(Kind::PortMissing);
    };
    if (!failure.sameDeviceAs.isEmpty()) {
        cause.otherName = failure.sameDeviceAs;
        return as(Kind::SameDevice);
    }
    // Not opened again to find out: the holder's device is left as it is.
    if (failure.lockedElsewhere)
        return inUseBy(path);
    switch (failure.systemError) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
        return missing();
    case EACCES:
    case EPERM:
        describeAccess(path, &cause);
        return as(Kind::PermissionDenied);
    case EBUSY:
        return inUseBy(path);
    case ENOTTY:
        return as(Kind::NotSerial);
    default:
        break;
    }
    switch (failure.error) {
    case QSerialPort::DeviceNotFoundError:
        return missing();
    // The port's own lock file, or its exclusive mode, held by another program.
    case QSerialPort::PermissionError:
        return inUseBy(path);
    case QSerialPort::UnsupportedOperationError:
        return as(Kind::NotSerial);
    default:
        return as(Kind::PortFailed);
    }
}

} // namespace ports
