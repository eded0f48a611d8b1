#pragma once

#include <QString>

// The commands that only look: 'ports', 'info FILE' and 'report LOG'.
namespace cli {

// Prints the ports present, one a line: tab-separated columns, or JSON objects with json.
int listPorts(bool json);

// Prints what the image at path holds (shown: the name as given), as one JSON object with json.
int describeImage(const QString &path, const QString &shown, bool json);

// Prints what the results log at path says (see resultlog.h), as one JSON object with json.
int reportLog(const QString &path, bool json);

} // namespace cli
