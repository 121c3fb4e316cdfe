#include "EngineTestSupport.h"

#include "TestFiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace EngineTest {

namespace {

// The fixtures are made in Europe/Berlin and their times are checked in that
// zone; pinned here as well, so that the tests do not depend on how the test
// runner passes its environment.
class BerlinZone : public ::testing::Environment
{
public:
    void SetUp() override
    {
        qputenv("TZ", "Europe/Berlin");
        tzset();
    }
};

[[maybe_unused]] ::testing::Environment* const berlinZone = ::testing::AddGlobalTestEnvironment(new BerlinZone);

} // namespace

Scratch::Scratch()
{
    EXPECT_TRUE(m_dir.isValid());
}

std::vector<EntryInfo> list(const QString& archive)
{
    ArchiveEngine engine;
    std::vector<EntryInfo> entries;
    engine.setEntryListedHandler([&](const EntryInfo& entry) { entries.push_back(entry); });
    engine.setArchivePath(archive);
    engine.ListContents();
    return entries;
}

std::vector<PyEntry> pythonList(const QString& archive)
{
    static const char* script = R"(
import json, sys, zipfile
out = []
with zipfile.ZipFile(sys.argv[1]) as z:
    for i in z.infolist():
        ids, at = [], 0
        while at + 4 <= len(i.extra):
            ids.append(int.from_bytes(i.extra[at:at + 2], "little"))
            at += 4 + int.from_bytes(i.extra[at + 2:at + 4], "little")
        out.append({"name": i.filename, "size": i.file_size, "csize": i.compress_size,
                    "date": list(i.date_time), "crc": i.CRC, "attr": i.external_attr, "extra": ids})
print(json.dumps(out))
)";
    QByteArray output;
    const int rc = TestFiles::run(QStringLiteral("python3"),
                                  {QStringLiteral("-c"), QString::fromLatin1(script), archive}, &output);
    EXPECT_EQ(rc, 0) << output.toStdString();
    std::vector<PyEntry> entries;
    for (const QJsonValue& value : QJsonDocument::fromJson(output).array()) {
        const QJsonObject o = value.toObject();
        PyEntry e;
        e.name = o.value(QStringLiteral("name")).toString();
        e.size = static_cast<qint64>(o.value(QStringLiteral("size")).toDouble());
        e.compressedSize = static_cast<qint64>(o.value(QStringLiteral("csize")).toDouble());
        const QJsonArray d = o.value(QStringLiteral("date")).toArray();
        e.dosTime = QDateTime(QDate(d[0].toInt(), d[1].toInt(), d[2].toInt()),
                              QTime(d[3].toInt(), d[4].toInt(), d[5].toInt()), Qt::LocalTime);
        e.crc = static_cast<quint32>(o.value(QStringLiteral("crc")).toDouble());
        e.externalAttributes = static_cast<quint32>(o.value(QStringLiteral("attr")).toDouble());
        for (const QJsonValue& id : o.value(QStringLiteral("extra")).toArray())
            e.extraIds.append(id.toInt());
        entries.push_back(e);
    }
    return entries;
}

Failure expectFailure(std::int32_t number, const std::function<void()>& action)
{
    try {
        action();
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), number) << failure.what();
        return failure;
    }
    ADD_FAILURE() << "expected failure " << number << ", nothing was thrown";
    return Failure(0, QString());
}

void expectToolsAccept(const QString& archive)
{
    QByteArray output;
    EXPECT_EQ(TestFiles::run(QStringLiteral("unzip"), {QStringLiteral("-t"), archive}, &output), 0)
        << output.toStdString();
    EXPECT_FALSE(output.contains("warning")) << output.toStdString();
    // Named ".exe", 7-Zip first tries a stub archive as a Windows program
    // and warns that it is none; the zip test itself is what counts here.
    QStringList sevenZip = {QStringLiteral("t"), archive};
    if (archive.endsWith(QLatin1String(".exe")))
        sevenZip.insert(1, QStringLiteral("-tzip"));
    EXPECT_EQ(TestFiles::run(QStringLiteral("7zz"), sevenZip, &output), 0) << output.toStdString();
    EXPECT_FALSE(output.contains("WARNING")) << output.toStdString();
    EXPECT_EQ(TestFiles::run(QStringLiteral("python3"),
                             {QStringLiteral("-m"), QStringLiteral("zipfile"), QStringLiteral("-t"), archive}, &output),
              0)
        << output.toStdString();
    EXPECT_TRUE(output.trimmed().endsWith("Done testing")) << output.toStdString();
}

ZoneGuard::ZoneGuard(const char* zone)
    : m_old(qgetenv("TZ"))
    , m_had(qEnvironmentVariableIsSet("TZ"))
{
    qputenv("TZ", zone);
    tzset();
}

ZoneGuard::~ZoneGuard()
{
    if (m_had)
        qputenv("TZ", m_old);
    else
        qunsetenv("TZ");
    tzset();
}

void unzipInto(const QString& archive, const QString& folder)
{
    QDir().mkpath(folder);
    QByteArray output;
    const int rc =
        TestFiles::run(QStringLiteral("unzip"),
                       {QStringLiteral("-q"), QStringLiteral("-o"), archive, QStringLiteral("-d"), folder}, &output);
    EXPECT_TRUE(rc == 0 || rc == 1) << output.toStdString();
}

namespace {

QString linkText(const QString& path)
{
    char buffer[4096];
    const ssize_t n = ::readlink(QFile::encodeName(path).constData(), buffer, sizeof buffer);
    return n < 0 ? QString() : QFile::decodeName(QByteArray(buffer, static_cast<int>(n)));
}

} // namespace

QStringList describeTree(const QString& folder, bool withTimes)
{
    QStringList out;
    const QDir base(folder);
    for (const QString& relative : TestFiles::tree(folder)) {
        const QString path = base.filePath(relative);
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0) {
            out << relative + QStringLiteral(" ?");
            continue;
        }
        QString line = relative + QStringLiteral(" mode=") + QString::number(st.st_mode & 07777, 8);
        if (withTimes && !S_ISLNK(st.st_mode))
            line += QStringLiteral(" mtime=") + QString::number(static_cast<qint64>(st.st_mtime));
        if (S_ISREG(st.st_mode))
            line += QStringLiteral(" sha1=")
                + QString::fromLatin1(
                        QCryptographicHash::hash(TestFiles::readAll(path), QCryptographicHash::Sha1).toHex());
        if (S_ISLNK(st.st_mode))
            line += QStringLiteral(" -> ") + linkText(path);
        out << line;
    }
    return out;
}

QStringList leftovers(const QString& folder)
{
    QStringList found;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QString name = it.fileName();
        // Ours are ".plovern-XXXXXX"; libzip's are "<archive>.XXXXXX".
        if (name.startsWith(QLatin1String(".plovern-"))
            || name.contains(QRegularExpression(QStringLiteral("\\.(zip|exe|run)\\.[A-Za-z0-9]{6}$"))))
            found << it.filePath();
    }
    return found;
}

std::int64_t modeOf(const QString& path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return st.st_mode & 07777;
}

} // namespace EngineTest
