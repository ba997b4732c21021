#pragma once

#include <QDateTime>

#include <utility>

namespace tandrel {

// Calendar-day arithmetic on moments, in the user's time zone.
class Date {
public:
    explicit Date(QDateTime moment) : m_moment(std::move(moment)) {}

    // Whole calendar days from start's day to end's day: 0 on the same day, negative when
    // end's day comes first. The time of day plays no part, and a day made shorter or
    // longer by a daylight-saving change still counts as one.
    static qint64 daysBetween(const QDateTime& start, const QDateTime& end);
    // daysBetween(this moment, date).
    qint64 daysBetween(const QDateTime& date) const { return daysBetween(m_moment, date); }

private:
    QDateTime m_moment;
};

}  // namespace tandrel
