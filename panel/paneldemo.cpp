// paneldemo [ADDRESS]: serves a panel fed with the station's events read as JSON Lines from
// standard input (the --json events with "slot"; also {"event":"slot","slot":..,"port":..} and
// {"event":"image","image":..,"sha256":..}), until standard input ends. Prints the URL first.
// For the browser test and the screenshot; not installed.
#include "panel.h"
#include "server.h"

#include <bootloader_version.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <iostream>
#include <string>

int main(int argc, char **argv) {
    panel::Panel panel;
    panel::Server server(panel);
    const QString address =
        argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("127.0.0.1:0");
    const QString error = server.listen(address);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "paneldemo: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("http://127.0.0.1:%d/\n", server.port());
    std::fflush(stdout);

    std::string line;
    while (std::getline(std::cin, line)) {
        const QJsonObject event = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        const QString kind = event.value("event").toString();
        if (kind == "slot")
            panel.addSlot(event.value("slot").toString(), event.value("port").toString());
        else if (kind == "image")
            panel.setImage(event.value("image").toString(), event.value("sha256").toString(),
                           QString::fromLatin1(bootloader::kVersion));
        else if (!kind.isEmpty())
            panel.event(event);
    }
    return 0;
}
