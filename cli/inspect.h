#pragma once

#include <QString>

// The commands that only look: 'ports' and 'info FILE'.
namespace cli {

// Prints the ports present, one a line: tab-separated columns, or JSON objects with json.
int listPorts(bool json);

// Prints what the image at path holds (shown: the name as given), as one JSON object with json.
int describeImage(const QString &path, const QString &shown, bool json);

} // namespace cli
