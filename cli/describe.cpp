#include "describe.h"

#include "commandline.h"
#include "console.h"
#include "firmwareimage.h"
#include "output.h"
#include "ports.h"
#include "protocol.h"
#include "resultlog.h"
#include "seriallink.h"
#include "stopsignals.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace cli {

int listPorts(bool json) {
    const ports::PortList all = ports::enumerate();
    if (all.isEmpty() && !json && console::verbosity() != Verbosity::Quiet)
        console::line(QStringLiteral("No serial ports found"));
    for (const ports::PortInfo &port : all) {
        const QString vid =
            port.usb ? QStringLiteral("%1").arg(port.vendor, 4, 16, QLatin1Char('0')) : QString();
        const QString pid =
            port.usb ? QStringLiteral("%1").arg(port.product, 4, 16, QLatin1Char('0')) : QString();
        QByteArray line;
        if (json) {
            const auto orNull = [](const QString &text) {
                return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
            };
            const QJsonObject object{{"name", port.name},
                                     {"path", port.path},
                                     {"vid", orNull(vid)},
                                     {"pid", orNull(pid)},
                                     {"usb", orNull(port.usbIdentity())},
                                     {"serial", orNull(port.serial)},
                                     {"manufacturer", orNull(port.manufacturer)},
                                     {"description", orNull(port.description)}};
            line = QJsonDocument(object).toJson(QJsonDocument::Compact);
        } else {
            const auto field = [](const QString &text) {
                return text.isEmpty() ? QStringLiteral("-") : text;
            };
            line = QStringList{port.name,
                               port.path,
                               port.usb ? vid + QLatin1Char(':') + pid : field(QString()),
                               field(port.serial),
                               field(port.manufacturer),
                               field(port.description)}
                       .join(QLatin1Char('\t'))
                       .toLocal8Bit();
        }
        if (!output::toStdout(line + '\n'))
            break;
    }
    return kDone;
}

int describeImage(const QString &path, const QString &shown, bool json) {
    const transfer::LoadedImage image = transfer::scanImage(path);
    if (image.refusal) {
        console::line(transfer::outcomeText(*image.refusal));
        console::line(transfer::imageRefusal(image.cause, shown).text());
        return kImageRefused;
    }
    const transfer::ImageSummary &summary = image.summary;
    const double seconds = std::chrono::duration<double>(summary.uploadTime).count();
    const QString sha256 = QString::fromLatin1(summary.sha256);
    QByteArray text;
    if (json) {
        const QJsonObject object{{"image", shown},
                                 {"records", summary.records},
                                 {"bytes", summary.bytes},
                                 {"smallest", summary.smallest},
                                 {"largest", summary.largest},
                                 {"outside", summary.outside},
                                 {"unclosed", summary.unclosed},
                                 {"sha256", sha256},
                                 {"seconds", std::round(seconds * 1000) / 1000}};
        text = QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    } else {
        // Put together piece by piece: a name may hold what looks like a placeholder.
        text = "image:             " + shown.toLocal8Bit() + '\n';
        text += "records:           " + QByteArray::number(summary.records) + '\n';
        text += "bytes in records:  " + QByteArray::number(summary.bytes) + " (smallest record " +
                QByteArray::number(summary.smallest) + ", largest " +
                QByteArray::number(summary.largest) + ")\n";
        text += "bytes outside:     " + QByteArray::number(summary.outside) + '\n';
        text += "sha256:            " + summary.sha256 + '\n';
        text += "upload at " + QByteArray::number(transfer::kBaudRate) + ":  " +
                QByteArray::number(seconds, 'f', 1) + " s (wire time plus " +
                QByteArray::number(qint64(transfer::kRecordPause.count())) + " ms a record)\n";
    }
    output::toStdout(text);
    if (summary.unclosed > 0)
        console::line(QStringLiteral("warning: %1 ends in a '{' that is never closed; its last "
                                     "%2 bytes will not be sent")
                          .arg(shown, QString::number(summary.unclosed)));
    return kDone;
}

int reportLog(const QString &path, bool json) {
    resultlog::Report report;
    QString error;
    const auto stopped = [] { return jobs::stopsignals::requestedExitCode() != 0; };
    if (!resultlog::summarize(path, &report, &error, stopped)) {
        if (stopped())
            return jobs::stopsignals::requestedExitCode();
        console::line(
            QStringLiteral("bootloader-cli: cannot read the log %1: %2").arg(path, error));
        return kOutputLost;
    }
    if (json)
        output::toStdout(
            QJsonDocument(resultlog::reportJson(report)).toJson(QJsonDocument::Compact) + '\n');
    else
        output::toStdout(resultlog::reportText(report).toLocal8Bit() + '\n');
    return kDone;
}

} // namespace cli
