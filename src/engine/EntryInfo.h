#ifndef PLOVERN_ENTRYINFO_H
#define PLOVERN_ENTRYINFO_H

#include <QDateTime>
#include <QString>

#include <cstdint>

// One listed entry, as EntryListed delivers it. The fields stand in the order
// in which the engine reports them: name, a second text, the uncompressed size,
// the compressed size, further details, the date and time, further details.
struct EntryInfo
{
    QString name;                    // as stored (folder part included), decoded from UTF-8, else CP437
    QString comment;                 // the entry's own comment, usually empty
    std::int64_t normalSize = 0;     // uncompressed size in bytes
    std::int64_t compressedSize = 0; // compressed size in bytes
    QString method;                  // "Stored", "Deflated", ... for the curious
    QDateTime modified;              // local wall-clock time, carried as Qt::OffsetFromUTC with the local zone's
                                     // offset at that moment (converting each entry through the C library's
                                     // local time was the slowest part of listing); from the extended-timestamp
                                     // field when present, else the DOS field
    std::uint32_t crc = 0;
    bool encrypted = false;
    bool isFolder = false; // a folder entry (the name ends in "/" or "\\", or the Unix mode says so)
    bool isLink = false;   // a symbolic link stored by a Unix or macOS zipper
};

#endif // PLOVERN_ENTRYINFO_H
