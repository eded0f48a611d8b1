#include "device.h"

#include "firmwareimage.h"
#include "seriallink.h"

#include <QSerialPort>

namespace transfer {

Device::Device(QObject *parent)
    : QObject(parent) {}

Outcome Device::report(Outcome outcome) {
    emit reported(outcome);
    return outcome;
}

Outcome Device::upload(const QString &imagePath, const QString &portName) {
    emit progressChanged(0);

    const LoadedImage image = loadImage(imagePath);
    if (image.refusal)
        return report(*image.refusal);

    QSerialPort port;
    if (!openLink(port, portName))
        return report(Outcome::PortBusy);

    // Sending the records comes next; for now the port is opened, configured and closed again.
    port.close();
    return Outcome::FirmwareLoaded;
}

} // namespace transfer
