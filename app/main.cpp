#include "bootloader_version.h"
#include "mainwindow.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[]) {
    // Answered before any window system is needed, so it works without a display too.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("bootloader %s\n", bootloader::kVersion);
            return 0;
        }
    }

    QApplication app(argc, argv);
    int code = 0;
    {
        MainWindow window;
        window.show();
        code = app.exec();
    }
    return code;
}
