#pragma once

#include <QString>

namespace tandrel {

// The program's one way to print a diagnostic: a plain line on standard output, with no
// level or time stamp, flushed at once so it keeps its place among other output.
void printLine(const QString& line);

}  // namespace tandrel
