#ifndef PLOVERN_ENTRYTABLE_H
#define PLOVERN_ENTRYTABLE_H

#include <QLocale>
#include <QString>

#include <array>
#include <cstdint>
#include <unordered_map>
#include <vector>

struct EntryInfo;
class QDateTime;

// The main window's listing table: the entries of the latest listing, as
// text, in the order the engine reported them. It holds 10,000 rows; a
// listing may report more, which the counter still counts (64-bit, so it
// never wraps) but the table does not store.
class EntryTable
{
public:
    static constexpr int Capacity = 10000;

    enum Column { Name = 1, CompressedSize = 2, Date = 3, NormalSize = 4 };

    EntryTable();

    // Starts a new listing, in the locale in force now. Rows of an earlier
    // listing stay but are no longer counted.
    void reset();

    // Records one listed entry in the next row, if the table has room.
    void add(const EntryInfo& entry);

    // Entries reported by the latest listing, stored or not.
    std::int64_t count() const { return m_count; }
    // Rows of the latest listing that the table holds: 1..storedRows().
    int storedRows() const;

    const QString& cell(int row, Column column) const { return m_rows.at(row).at(column); }

    // A date and time as the list shows it: the locale's short date, then the
    // time of day unless it is exactly midnight.
    static QString formatDate(const QDateTime& dateTime);

private:
    // formatDate's text, worked out once per distinct date and time of a
    // listing: the entries of an archive share few of them, and formatting
    // through the locale was most of the cost of listing 10,000 entries.
    const QString& dateText(const QDateTime& dateTime);
    static QString formatDate(const QDateTime& dateTime, const QLocale& locale, const QString& timeFormat);
    static QString timeFormat(const QLocale& locale);

    std::vector<std::array<QString, 5>> m_rows; // row 0 and column 0 unused
    std::int64_t m_count = 0;
    QLocale m_locale;
    QString m_timeFormat;
    std::unordered_map<std::int64_t, QString> m_dateTexts; // by day and millisecond of the day
};

#endif // PLOVERN_ENTRYTABLE_H
