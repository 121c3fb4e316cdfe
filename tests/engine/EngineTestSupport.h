#ifndef PLOVERN_ENGINETESTSUPPORT_H
#define PLOVERN_ENGINETESTSUPPORT_H

#include "ArchiveEngine.h"
#include "Failure.h"
#include "TestFiles.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <ostream>
#include <vector>

// Readable gtest messages for lists of Qt strings (TestFiles.h covers
// QString itself).
inline void PrintTo(const QStringList& list, std::ostream* out)
{
    *out << "\n  " << list.join(QStringLiteral("\n  ")).toStdString() << "\n";
}

// Helpers for the engine tests: scratch folders, the engine's listing, the
// listing Python's zipfile gives, and the outside testers.
namespace EngineTest {

// A fresh folder, removed (with everything in it) afterwards.
class Scratch
{
public:
    Scratch();
    QString path() const { return m_dir.path(); }
    QString file(const QString& name) const { return m_dir.path() + QLatin1Char('/') + name; }

private:
    QTemporaryDir m_dir;
};

std::vector<EntryInfo> list(const QString& archive);

// What Python's zipfile reports for each entry, in central-directory order.
struct PyEntry
{
    QString name;
    qint64 size = 0;
    qint64 compressedSize = 0;
    QDateTime dosTime; // local time, from the DOS field
    quint32 crc = 0;
    quint32 externalAttributes = 0;
    QList<int> extraIds; // central extra fields, in order
};
std::vector<PyEntry> pythonList(const QString& archive);

// Runs `action` and returns the Failure it throws (a test failure when it
// throws none or another number).
Failure expectFailure(std::int32_t number, const std::function<void()>& action);

// unzip -t, 7zz t and python3 -m zipfile -t, each without complaint.
void expectToolsAccept(const QString& archive);

// Sets TZ for the life of the object (and the C library's idea of it).
class ZoneGuard
{
public:
    explicit ZoneGuard(const char* zone);
    ~ZoneGuard();

private:
    QByteArray m_old;
    bool m_had;
};

// Extracts with Info-ZIP unzip into `folder`; the reference to compare with.
void unzipInto(const QString& archive, const QString& folder);

// Files below `folder` (sorted, relative), and for each: type, permission
// bits, modification time and content, so that two trees compare in one go.
QStringList describeTree(const QString& folder, bool withTimes = true);

// Entries in `folder` whose names mark them as leftovers of an interrupted
// write (ours or libzip's).
QStringList leftovers(const QString& folder);

std::int64_t modeOf(const QString& path);

} // namespace EngineTest

#endif // PLOVERN_ENGINETESTSUPPORT_H
