#include "Extensions/Date.h"

namespace tandrel {

qint64 Date::daysBetween(const QDateTime& start, const QDateTime& end)
{
    // Counting dates rather than elapsed seconds keeps daylight-saving days at one each.
    return start.toLocalTime().date().daysTo(end.toLocalTime().date());
}

}  // namespace tandrel
