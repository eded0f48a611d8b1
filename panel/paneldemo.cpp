// paneldemo [ADDRESS]: serves a panel fed with events read as JSON Lines from standard input, one
// panel call each: {"event":"image","image":..,"sha256":..}, {"event":"slot","slot":..,"port":..},
// {"event":"station","station":..}, and start (slot, port, records), progress (slot, percent),
// result (slot, ok, cause_kind, cause, seconds, resends) and gone (slot), until standard input
// ends. Prints the URL first.
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
        else if (kind == "station")
            panel.setStation(event.value("station").toString());
        else if (kind == "start")
            panel.started(event.value("slot").toString(), event.value("port").toString(),
                          qint64(event.value("records").toDouble()));
        else if (kind == "progress")
            panel.progress(event.value("slot").toString(), event.value("percent").toDouble());
        else if (kind == "result")
            panel.finished(event.value("slot").toString(), event.value("ok").toBool(),
                           event.value("cause_kind").toString(), event.value("cause").toString(),
                           event.value("seconds").toDouble(), event.value("resends").toInt());
        else if (kind == "gone")
            panel.gone(event.value("slot").toString());
    }
    return 0;
}
