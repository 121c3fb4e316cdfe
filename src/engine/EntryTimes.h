#ifndef PLOVERN_ENTRYTIMES_H
#define PLOVERN_ENTRYTIMES_H

#include <QDateTime>
#include <QHash>

#include <cstdint>

namespace zipcore {
struct Entry;
}

// Entry modification times in the local zone. The extended timestamp is
// exact and zone-free; the DOS field is local time in two-second steps.
//
// Converting to or from local time asks the C library, which rereads the
// zone file on every call when TZ is not set: that was the slowest part of
// listing. Zone offsets change on quarter hours only, so one lookup per
// quarter hour gives the same result; the offsets looked up are kept for as
// long as this object lives. One object per thread.
class EntryTimes
{
public:
    // The time as listed: local wall-clock time, carried as Qt::OffsetFromUTC
    // with the local zone's offset at that moment.
    QDateTime modified(const zipcore::Entry& entry) const;
    // The same moment in seconds since the epoch, as it is restored on disk.
    std::int64_t seconds(const zipcore::Entry& entry) const;

private:
    QDateTime localTime(std::int64_t seconds) const;
    QDateTime dosTime(std::uint16_t time, std::uint16_t date) const;

    // The local zone's offset from UTC per quarter hour, once looked up,
    // keyed by the moment and by the wall-clock time. An archive whose times
    // are spread over many quarter hours would grow them with its entries, so
    // each is emptied when it reaches MaxOffsets.
    static constexpr qsizetype MaxOffsets = 1 << 14;
    mutable QHash<std::int64_t, int> m_utcOffsets;
    mutable QHash<std::int64_t, int> m_wallOffsets;
};

#endif // PLOVERN_ENTRYTIMES_H
