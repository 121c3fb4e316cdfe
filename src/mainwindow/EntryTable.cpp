#include "EntryTable.h"

#include "ArchiveEngine.h"

#include <QDateTime>
#include <QLocale>

EntryTable::EntryTable()
    : m_rows(Capacity + 1)
{}

void EntryTable::add(const EntryInfo& entry)
{
    ++m_count;
    if (m_count > Capacity)
        return; // counted, never stored outside the table
    auto& row = m_rows[size_t(m_count)];
    row[Name] = entry.name;
    row[CompressedSize] = QString::number(entry.compressedSize);
    row[Date] = formatDate(entry.modified);
    row[NormalSize] = QString::number(entry.normalSize);
}

int EntryTable::storedRows() const
{
    return int(std::min<std::int64_t>(m_count, Capacity));
}

QString EntryTable::formatDate(const QDateTime& dateTime)
{
    if (!dateTime.isValid())
        return QString();
    const QLocale locale;
    QString text = locale.toString(dateTime.date(), QLocale::ShortFormat);
    if (dateTime.time() != QTime(0, 0)) {
        // The long time format carries the seconds (zip times have two-second
        // steps) but also a time-zone name, which a listing does not need.
        QString format = locale.timeFormat(QLocale::LongFormat);
        format.remove(QLatin1Char('t'));
        text += QLatin1Char(' ') + locale.toString(dateTime.time(), format.trimmed());
    }
    return text;
}
