#include "messages.h"

#include <QCoreApplication>

namespace transfer {

namespace {

struct Text {
    Outcome outcome;
    bool success;
    bool translated;
    const char *message;
};

// The one table of user-visible texts; the window and the command line both read it.
const Text kTexts[] = {
    {Outcome::FileNotOpen, false, true, QT_TRANSLATE_NOOP("MainWindow", "File not open")},
    {Outcome::FileEmpty, false, true, QT_TRANSLATE_NOOP("MainWindow", "File is empty")},
    {Outcome::FirmwareNotFound, false, true, QT_TRANSLATE_NOOP("MainWindow", "Firmware not found")},
    {Outcome::PortNotOpened, false, true, QT_TRANSLATE_NOOP("MainWindow", "Serial port is busy")},
    {Outcome::FirmwareLoaded, true, true, QT_TRANSLATE_NOOP("MainWindow", "Firmware loaded!")},
    {Outcome::FirmwareNotLoaded, false, true,
     QT_TRANSLATE_NOOP("MainWindow", "Firmware not loaded")},
    {Outcome::BootloaderEntered, true, false, "Device is in bootloader mode now"},
    {Outcome::BootloaderNotEntered, false, true,
     QT_TRANSLATE_NOOP("MainWindow", "Device is out of bootloader mode")},
};

const char *const kErrorTitle = QT_TRANSLATE_NOOP("MainWindow", "Error");
const char *const kSuccessTitle = QT_TRANSLATE_NOOP("MainWindow", "Success");

const Text &entry(Outcome outcome) {
    for (const Text &text : kTexts) {
        if (text.outcome == outcome)
            return text;
    }
    Q_UNREACHABLE();
    return kTexts[0];
}

} // namespace

bool isSuccess(Outcome outcome) {
    return entry(outcome).success;
}

const char *titleText(Outcome outcome) {
    return isSuccess(outcome) ? kSuccessTitle : kErrorTitle;
}

const char *messageText(Outcome outcome) {
    return entry(outcome).message;
}

bool isTranslated(Outcome outcome) {
    return entry(outcome).translated;
}

QString outcomeText(Outcome outcome) {
    const Text &text = entry(outcome);
    return text.translated ? QCoreApplication::translate(kTextContext, text.message)
                           : QString::fromLatin1(text.message);
}

} // namespace transfer
