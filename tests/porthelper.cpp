// A second process for the tests, so that a port can be held, or a file or port opened, by a
// process other than the one under test (and, through setpriv, by a user other than root).
//
//   porthelper hold PORT    opens the port, prints "held", and keeps it until stdin closes
//   porthelper open PORT    exit 0 when the port opens and configures, 3 otherwise
//   porthelper load FILE    prints the outcome text of loading the image, or "records N"

#include "firmwareimage.h"
#include "seriallink.h"

#include <QCoreApplication>
#include <QSerialPort>

#include <cstdio>

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3)
        return 64;
    const QString &mode = args[1];
    const QString &target = args[2];

    if (mode == QLatin1String("hold") || mode == QLatin1String("open")) {
        QSerialPort port;
        if (!transfer::openLink(port, target))
            return 3;
        if (mode == QLatin1String("open"))
            return 0;
        std::puts("held");
        std::fflush(stdout);
        char buffer[64];
        while (std::fread(buffer, 1, sizeof buffer, stdin) > 0) {
        }
        return 0;
    }
    if (mode == QLatin1String("load")) {
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
        const transfer::LoadedImage image = transfer::loadImage(target);
        if (image.refusal)
            std::puts(transfer::messageText(*image.refusal));
        else
            std::printf("records %d\n", int(image.records.size()));
        return 0;
    }
    return 64;
}
