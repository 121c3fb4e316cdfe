#include "EntryTimes.h"

#include "EntryNames.h"
#include "ZipDirectory.h"

namespace {

constexpr std::int64_t quarterHour = 900;

} // namespace

QDateTime EntryTimes::modified(const zipcore::Entry& entry) const
{
    return entry.hasExactTime ? localTime(entry.mtime) : dosTime(entry.dosTime, entry.dosDate);
}

std::int64_t EntryTimes::seconds(const zipcore::Entry& entry) const
{
    return entry.hasExactTime ? entry.mtime : dosTime(entry.dosTime, entry.dosDate).toSecsSinceEpoch();
}

QDateTime EntryTimes::localTime(std::int64_t seconds) const
{
    const std::int64_t bucket = seconds >= 0 ? seconds / quarterHour : (seconds - quarterHour + 1) / quarterHour;
    auto it = m_utcOffsets.constFind(bucket);
    if (it == m_utcOffsets.constEnd()) {
        if (m_utcOffsets.size() >= MaxOffsets)
            m_utcOffsets.clear();
        it = m_utcOffsets.insert(bucket, QDateTime::fromSecsSinceEpoch(bucket * quarterHour).offsetFromUtc());
    }
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::OffsetFromUTC, *it);
}

QDateTime EntryTimes::dosTime(std::uint16_t time, std::uint16_t date) const
{
    const zipcore::DosDateTime t = zipcore::dosDateTime(date, time);
    const QDateTime wall(QDate(t.year, t.month, t.day), QTime(t.hour, t.minute, t.second), Qt::UTC);
    const std::int64_t wallSeconds = wall.toSecsSinceEpoch();
    const std::int64_t bucket = wallSeconds / quarterHour;
    auto it = m_wallOffsets.constFind(bucket);
    if (it == m_wallOffsets.constEnd()) {
        if (m_wallOffsets.size() >= MaxOffsets)
            m_wallOffsets.clear();
        const QDateTime start = QDateTime::fromSecsSinceEpoch(bucket * quarterHour, Qt::UTC);
        it = m_wallOffsets.insert(bucket, QDateTime(start.date(), start.time(), Qt::LocalTime).offsetFromUtc());
    }
    return QDateTime::fromSecsSinceEpoch(wallSeconds - *it, Qt::OffsetFromUTC, *it);
}
