#pragma once

#include <QString>

namespace transfer {

// Every way a device operation can end, as the user is told about it.
enum class Outcome {
    FileNotOpen,
    FileEmpty,
    FirmwareNotFound,
    PortNotOpened,
    FirmwareLoaded,
    FirmwareNotLoaded,
    BootloaderEntered,
    BootloaderNotEntered,
};

// The translation context of every user-visible text of the tool.
inline constexpr const char *kTextContext = "MainWindow";

bool isSuccess(Outcome outcome);

// Source texts (untranslated) of the box that reports an outcome: "Error" or "Success", and the
// message itself. Both are looked up in kTextContext unless isTranslated() says otherwise.
const char *titleText(Outcome outcome);
const char *messageText(Outcome outcome);

// The confirmation of the bootloader entry is shown as it stands, without translation lookup.
bool isTranslated(Outcome outcome);

// The message for an outcome as the user reads it: looked up as isTranslated() says.
QString outcomeText(Outcome outcome);

} // namespace transfer
