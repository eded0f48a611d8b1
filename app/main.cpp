#include "mainwindow.h"

#include <QApplication>

// The command line goes whole to the application object; the window program has no options of
// its own (bootloader-cli --version tells the version).
int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    int code = 0;
    {
        MainWindow window;
        window.show();
        code = app.exec();
    }
    return code;
}
