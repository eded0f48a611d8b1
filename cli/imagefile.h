#pragma once

#include "firmwareimage.h"

#include <QString>

// The image: read and split once for every port, why it was refused, and 'info FILE'.
namespace cli::imagefile {

struct Image {
    QString path;  // what is opened
    QString shown; // the name as the user gave it, for messages
    transfer::LoadedImage loaded;
    QString sha256; // of the records as sent, one after the other
};

// Reads and splits the image. When it is refused, prints the window's text and the cause and
// returns false.
bool read(Image *image);

// The cause line for a refused image: the path and why.
QString whyRefused(const QString &path, const QString &shown, transfer::Outcome refusal);

QString sha256(const transfer::RecordList &records);

// 'info FILE': prints the image's description on stdout (as one JSON object with json).
int info(const QString &path, const QString &shown, bool json);

} // namespace cli::imagefile
