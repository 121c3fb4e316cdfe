#include "EntryTable.h"

#include "ArchiveEngine.h"

#include <QDateTime>

EntryTable::EntryTable()
    : m_rows(Capacity + 1)
    , m_timeFormat(timeFormat(m_locale))
{}

void EntryTable::reset()
{
    m_count = 0;
    m_locale = QLocale();
    m_timeFormat = timeFormat(m_locale);
    m_dateTexts.clear();
}

void EntryTable::add(const EntryInfo& entry)
{
    ++m_count;
    if (m_count > Capacity)
        return; // counted, never stored outside the table
    auto& row = m_rows[size_t(m_count)];
    row[Name] = entry.name;
    row[CompressedSize] = QString::number(entry.compressedSize);
    row[Date] = dateText(entry.modified);
    row[NormalSize] = QString::number(entry.normalSize);
}

int EntryTable::storedRows() const
{
    return int(std::min<std::int64_t>(m_count, Capacity));
}

const QString& EntryTable::dateText(const QDateTime& dateTime)
{
    static const QString none;
    if (!dateTime.isValid())
        return none;
    const QDate date = dateTime.date();
    const QTime time = dateTime.time();
    const std::int64_t key = date.toJulianDay() * (24 * 3600 * 1000) + time.msecsSinceStartOfDay();
    auto found = m_dateTexts.find(key);
    if (found == m_dateTexts.end())
        found = m_dateTexts.emplace(key, formatDate(dateTime, m_locale, m_timeFormat)).first;
    return found->second;
}

QString EntryTable::formatDate(const QDateTime& dateTime)
{
    const QLocale locale;
    return formatDate(dateTime, locale, timeFormat(locale));
}

QString EntryTable::formatDate(const QDateTime& dateTime, const QLocale& locale, const QString& timeFormat)
{
    if (!dateTime.isValid())
        return QString();
    QString text = locale.toString(dateTime.date(), QLocale::ShortFormat);
    if (dateTime.time() != QTime(0, 0))
        text += QLatin1Char(' ') + locale.toString(dateTime.time(), timeFormat);
    return text;
}

QString EntryTable::timeFormat(const QLocale& locale)
{
    // The long time format carries the seconds (zip times have two-second
    // steps) but also a time-zone name, which a listing does not need.
    QString format = locale.timeFormat(QLocale::LongFormat);
    format.remove(QLatin1Char('t'));
    return format.trimmed();
}
