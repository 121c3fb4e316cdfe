#include "ArchiveEngine.h"
#include "EngineErrors.h"
#include "EngineTestSupport.h"
#include "Failure.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <gtest/gtest.h>
#include <sys/stat.h>

// One table of archives, each taken through both readers of the program: the
// engine (ListContents, then Extract) and the self-extractor runtime (the same
// zip data attached to plovern-sfx, run with --list, then --target). Listings
// are compared with Python's zipfile, extractions with Info-ZIP unzip (or 7zz,
// for the compression methods unzip lacks) where it agrees and else with the
// listed names; a refused archive must leave the
// target as it was and nothing may appear outside it.

using namespace EngineTest;

namespace {

// Every case extracts into the folder "target" of a temporary folder of its
// own (the box), with "outside" beside it. Archives named "placed/..." name
// the box in their links or entry names, so they are made for each case
// (tests/fixtures/make_placed.py). In the texts of a case, "{box}",
// "{target}" and "{outside}" stand for those folders.

// A link made in the target before extracting.
struct DiskLink
{
    const char* path;
    const char* text;
};

// What must hold for one entry beyond what zipfile reports. `name` must be
// listed exactly so, after decoding.
struct Detail
{
    const char* name;
    const char* time = nullptr;    // local "yyyy-MM-dd hh:mm:ss" (else the DOS field, as zipfile reads it)
    const char* comment = nullptr; // the entry's comment as the engine lists it
    const char* link = nullptr;    // extracted as a symbolic link with this text
};

enum class Outcome {
    LikeUnzip,   // lists and extracts; the tree is what unzip makes of it
    Like7zz,     // the same with 7zz (given the password), for what unzip cannot decode
    Listed,      // lists and extracts; the tree holds exactly the listed names
    Refused,     // lists; extracting fails before anything is written
    DataFailure, // lists; extracting fails at an entry, after the ones in `kept`
    Unreadable,  // neither lists nor extracts
};

struct Case
{
    // "hostile/..." (committed), "placed/..." (made per case), "crafted/..."
    // (made per case by make_structure.py), else by make_fixtures.sh
    const char* fixture;
    Outcome outcome;
    std::int32_t failure = 0; // the engine's failure number
    const char* named = "";   // text the engine's description and the runtime's message both hold
    std::vector<DiskLink> disk = {};
    std::vector<Detail> details = {};
    std::vector<const char*> kept = {};
    // What the runtime's message names instead, where the two readers see the
    // damage at different places (the engine refuses some archives as a
    // whole before it reads any entry's data).
    const char* runtimeNamed = nullptr;
    // The passwords the engine's handler gives, one a line, before it
    // cancels (nullptr: no handler). The runtime reads the last line on
    // standard input.
    const char* passwords = nullptr;
};

constexpr const char* Password = "plovern";

void PrintTo(const Case& c, std::ostream* out)
{
    *out << c.fixture;
}

bool extracts(Outcome outcome)
{
    return outcome == Outcome::LikeUnzip || outcome == Outcome::Like7zz || outcome == Outcome::Listed;
}

QDateTime localTime(const char* text)
{
    return QDateTime::fromString(QString::fromUtf8(text), QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

// The tree extracting `entries` must give: every name with its parent
// folders, folders ending in "/" (a link never does).
QStringList treeOf(const std::vector<PyEntry>& entries)
{
    QSet<QString> names;
    for (const PyEntry& entry : entries) {
        const QStringList parts = entry.name.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        for (int i = 1; i < parts.size(); ++i)
            names.insert(parts.mid(0, i).join(QLatin1Char('/')) + QLatin1Char('/'));
        names.insert(entry.name);
    }
    QStringList sorted = names.values();
    sorted.sort();
    return sorted;
}

// The runtime's --list lines for entries: size, date to the minute, name.
QStringList runtimeLines(const QByteArray& listing)
{
    static const QRegularExpression line(QStringLiteral("^ *\\d+  \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d  .*$"),
                                         QRegularExpression::MultilineOption);
    QStringList lines;
    auto it = line.globalMatch(QString::fromUtf8(listing));
    while (it.hasNext())
        lines << it.next().captured(0).trimmed();
    return lines;
}

class CaseTable : public ::testing::TestWithParam<Case>
{
protected:
    void SetUp() override
    {
        // The box's path as the kernel resolves it, which is what a link's
        // absolute target is compared with.
        m_box = QFileInfo(m_boxFolder.path()).canonicalFilePath();
        m_target = m_box + QStringLiteral("/target");
        m_outside = m_box + QStringLiteral("/outside");
        ASSERT_TRUE(QDir().mkpath(m_target));
        // A folder for links on disk to lead to, so that following one would
        // really write outside.
        ASSERT_TRUE(QDir().mkpath(m_outside + QStringLiteral("/a")));
        for (const DiskLink& link : param().disk)
            ASSERT_TRUE(QFile::link(placed(link.text), m_target + QLatin1Char('/') + QString::fromUtf8(link.path)));
        m_targetBefore = TestFiles::tree(m_target);
        m_outsideBefore = TestFiles::tree(m_outside);
        const QString fixture = QString::fromUtf8(param().fixture);
        if (fixture.startsWith(QLatin1String("placed/"))) {
            m_archive = TestFiles::placedFixture(QFileInfo(fixture).fileName(), m_scratch.path(), m_box);
        } else if (fixture.startsWith(QLatin1String("crafted/"))) {
            m_archive = m_scratch.file(QFileInfo(fixture).fileName());
            const TestFiles::Outcome made = TestFiles::runApart(QStringLiteral("python3"),
                                                                {QStringLiteral(PLOVERN_CASES_DIR "/make_structure.py"),
                                                                 m_scratch.path(), QFileInfo(fixture).fileName()});
            ASSERT_EQ(made.code, 0) << made.err.toStdString();
        } else {
            m_archive = TestFiles::fixture(fixture);
        }
        if (param().outcome != Outcome::Unreadable)
            m_expected = pythonList(m_archive);
    }

    void TearDown() override
    {
        // Whatever the reader did, nothing lies beside the target or the
        // folder its links lead to.
        EXPECT_EQ(QDir(m_box).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
                  QStringList({QStringLiteral("outside"), QStringLiteral("target")}));
        EXPECT_EQ(TestFiles::tree(m_outside), m_outsideBefore);
    }

    static const Case& param() { return GetParam(); }

    QString placed(const char* text) const
    {
        return QString::fromUtf8(text)
            .replace(QStringLiteral("{box}"), m_box)
            .replace(QStringLiteral("{target}"), m_target)
            .replace(QStringLiteral("{outside}"), m_outside);
    }

    const Detail* detail(const QString& name) const
    {
        for (const Detail& d : param().details) {
            if (QString::fromUtf8(d.name) == name)
                return &d;
        }
        return nullptr;
    }

    // The time an entry must be listed and extracted with.
    QDateTime expectedTime(const PyEntry& entry) const
    {
        const Detail* d = detail(entry.name);
        if (d && d->time)
            return localTime(d->time);
        return entry.dosTime;
    }

    // `tree` as it stands on disk when the links made before extracting
    // lead into the target: what goes through one lands where it leads.
    QStringList throughDiskLinks(QStringList tree) const
    {
        for (const DiskLink& link : param().disk) {
            const QString path = QString::fromUtf8(link.path);
            const QString to = QDir(m_target).relativeFilePath(placed(link.text));
            if (to.startsWith(QLatin1String("..")))
                continue;
            for (QString& name : tree) {
                if (name == path + QLatin1Char('/'))
                    name = path;
                else if (name.startsWith(path + QLatin1Char('/')))
                    name = to + name.mid(path.size());
            }
        }
        tree.removeDuplicates();
        tree.sort();
        return tree;
    }

    // After a successful extraction: the tree, and the details that need it.
    void expectExtracted() const
    {
        if (param().outcome == Outcome::LikeUnzip) {
            const QString theirs = m_scratch.file(QStringLiteral("unzip"));
            unzipInto(m_archive, theirs);
            EXPECT_EQ(comparable(describeTree(m_target)), comparable(describeTree(theirs)));
        } else if (param().outcome == Outcome::Like7zz) {
            const QString theirs = m_scratch.file(QStringLiteral("7zz"));
            QByteArray output;
            EXPECT_EQ(TestFiles::run(QStringLiteral("7zz"),
                                     {QStringLiteral("x"), QStringLiteral("-y"), QStringLiteral("-bd"),
                                      QStringLiteral("-p") + QLatin1String(Password), QStringLiteral("-o") + theirs,
                                      m_archive},
                                     &output),
                      0)
                << output.toStdString();
            EXPECT_EQ(comparable(describeTree(m_target)), comparable(describeTree(theirs)));
        } else {
            EXPECT_EQ(TestFiles::tree(m_target), throughDiskLinks(treeOf(m_expected)));
        }
        for (const Detail& d : param().details) {
            const QString path = m_target + QLatin1Char('/') + QString::fromUtf8(d.name);
            if (d.link) {
                EXPECT_EQ(QFileInfo(path).symLinkTarget(), m_target + QLatin1Char('/') + QString::fromUtf8(d.link))
                    << d.name;
            }
            if (d.time) {
                struct stat st
                {};
                EXPECT_EQ(::lstat(QFile::encodeName(path).constData(), &st), 0) << d.name;
                EXPECT_EQ(qint64(st.st_mtime), localTime(d.time).toSecsSinceEpoch()) << d.name;
            }
        }
    }

    // A folder that no entry names is made when the first file inside it is
    // written, so its time is that moment, which differs between two tools
    // by chance: it is left out of the comparison.
    QStringList comparable(QStringList described) const
    {
        static const QRegularExpression time(QStringLiteral(" mtime=-?\\d+"));
        for (QString& line : described) {
            const QString name = line.section(QLatin1Char(' '), 0, 0);
            const bool named = std::any_of(m_expected.begin(), m_expected.end(),
                                           [&](const PyEntry& entry) { return entry.name == name; });
            if (name.endsWith(QLatin1Char('/')) && !named)
                line.remove(time);
        }
        return described;
    }

    // After a failed extraction: the target holds what it held before, and
    // for damaged data the entries completed before the damaged one.
    void expectOnlyKept() const
    {
        QStringList wanted = m_targetBefore;
        for (const char* name : param().kept)
            wanted << QString::fromUtf8(name);
        wanted.sort();
        EXPECT_EQ(TestFiles::tree(m_target), wanted);
    }

    Scratch m_boxFolder;
    QString m_box;
    QString m_target;
    QString m_outside;
    QString m_archive;
    std::vector<PyEntry> m_expected; // as zipfile lists the archive
    QStringList m_targetBefore;
    QStringList m_outsideBefore;
    Scratch m_scratch;
};

TEST_P(CaseTable, Engine)
{
    const Case& c = param();
    const QString named = placed(c.named);
    if (c.outcome == Outcome::Unreadable) {
        const Failure failure = expectFailure(c.failure, [&] { list(m_archive); });
        EXPECT_TRUE(failure.description().contains(named)) << failure.what();
    } else {
        const std::vector<EntryInfo> ours = list(m_archive);
        ASSERT_EQ(ours.size(), m_expected.size());
        std::size_t matched = 0;
        for (std::size_t i = 0; i < ours.size(); ++i) {
            const PyEntry& theirs = m_expected[i];
            SCOPED_TRACE(theirs.name.toStdString());
            EXPECT_EQ(ours[i].name, theirs.name);
            EXPECT_EQ(ours[i].normalSize, theirs.size);
            EXPECT_EQ(ours[i].compressedSize, theirs.compressedSize);
            EXPECT_EQ(ours[i].crc, theirs.crc);
            EXPECT_EQ(ours[i].modified, expectedTime(theirs)) << ours[i].modified.toString(Qt::ISODate).toStdString();
            EXPECT_EQ(ours[i].isFolder, theirs.name.endsWith(QLatin1Char('/')));
            EXPECT_EQ(ours[i].isLink, ((theirs.externalAttributes >> 16) & 0170000) == 0120000);
            EXPECT_FALSE(ours[i].method.isEmpty());
            const Detail* d = detail(theirs.name);
            EXPECT_EQ(ours[i].comment, QString::fromUtf8(d && d->comment ? d->comment : ""));
            matched += d != nullptr;
        }
        EXPECT_EQ(matched, c.details.size()) << "every detail names a listed entry";
    }

    ArchiveEngine engine;
    engine.setArchivePath(m_archive);
    engine.setTargetFolder(m_target);
    engine.setFileSpec(QStringLiteral("*.*"));
    engine.setExtractSwitch(true);
    // The handler gives its answers in turn, then cancels; every request
    // after the first says the password before was wrong.
    const QStringList answers = c.passwords ? QString::fromUtf8(c.passwords).split(QLatin1Char('\n')) : QStringList();
    int asked = 0;
    if (c.passwords) {
        engine.setPasswordHandler([&](const ArchiveEngine::PasswordRequest& request, QString& password) {
            EXPECT_EQ(request.archive, m_archive);
            EXPECT_EQ(request.wrong, asked > 0) << request.entry.toStdString();
            if (asked >= answers.size() || answers[asked].isEmpty())
                return false;
            password = answers[asked++];
            return true;
        });
    }
    if (extracts(c.outcome)) {
        engine.Extract();
        expectExtracted();
        EXPECT_TRUE(leftovers(m_target).isEmpty());
        EXPECT_EQ(asked, answers.size()) << "the password given is kept for the later entries";
    } else {
        const Failure failure = expectFailure(c.failure, [&] { engine.Extract(); });
        EXPECT_TRUE(failure.description().contains(named)) << failure.what();
        expectOnlyKept();
    }
}

TEST_P(CaseTable, Runtime)
{
    const Case& c = param();
    // The runtime always has a password source: its row without one is the
    // cancelled one.
    if (c.failure == EngineError::EncryptedEntry && !c.passwords)
        GTEST_SKIP() << "the runtime asks for passwords";
    const QString sfx = m_scratch.file(QFileInfo(m_archive).fileName() + QStringLiteral(".sfx"));
    const TestFiles::Outcome made =
        TestFiles::runApart(QStringLiteral("python3"),
                            {QStringLiteral(PLOVERN_SFX_TEST_DIR "/make_sfx.py"), QStringLiteral(PLOVERN_SFX_RUNTIME),
                             m_archive, sfx, QStringLiteral("folder=offered"), QStringLiteral("create=1")});
    ASSERT_EQ(made.code, 0) << made.err.toStdString();

    // Listing writes nothing, not even the folder the settings offer.
    const TestFiles::Outcome listed = TestFiles::runApart(sfx, {QStringLiteral("--list")}, m_target);
    EXPECT_EQ(TestFiles::tree(m_target), m_targetBefore);
    if (c.outcome == Outcome::Unreadable) {
        EXPECT_EQ(listed.code, 1) << listed.out.toStdString();
        EXPECT_TRUE(listed.err.contains(placed(c.named).toUtf8())) << listed.err.toStdString();
    } else {
        ASSERT_EQ(listed.code, 0) << listed.err.toStdString();
        QStringList wanted;
        for (const PyEntry& e : m_expected)
            wanted << QStringLiteral("%1  %2  %3")
                          .arg(e.size)
                          .arg(expectedTime(e).toString(QStringLiteral("yyyy-MM-dd hh:mm")), e.name);
        EXPECT_EQ(runtimeLines(listed.out), wanted);
    }

    QString input;
    if (c.passwords && *c.passwords) {
        input = m_scratch.file(QStringLiteral("password"));
        TestFiles::writeAll(input, QString::fromUtf8(c.passwords).section(QLatin1Char('\n'), -1).toUtf8() + "\n");
    }
    const TestFiles::Outcome extracted = TestFiles::runApart(sfx, {QStringLiteral("--target"), m_target}, QString(),
                                                             QProcessEnvironment::systemEnvironment(), input);
    if (extracts(c.outcome)) {
        ASSERT_EQ(extracted.code, 0) << extracted.err.toStdString();
        expectExtracted();
    } else {
        EXPECT_EQ(extracted.code, 1) << extracted.out.toStdString();
        EXPECT_TRUE(extracted.err.contains(placed(c.runtimeNamed ? c.runtimeNamed : c.named).toUtf8()))
            << extracted.err.toStdString();
        expectOnlyKept();
    }
}

using namespace EngineError;

std::string repeated(const char* text, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}
const std::string deepFile = "d/" + repeated("a/", 300) + "f.txt";
const std::string deepBack = "d/" + repeated("a/", 300) + "back";

INSTANTIATE_TEST_SUITE_P(
    Archives, CaseTable,
    ::testing::Values(
        // ---- Made by other tools ----
        Case{"infozip.zip", Outcome::LikeUnzip}, Case{"python.zip", Outcome::LikeUnzip},
        Case{"7z.zip", Outcome::LikeUnzip}, Case{"bsdtar.zip", Outcome::LikeUnzip},
        Case{"stub-plain.exe", Outcome::LikeUnzip}, Case{"stub-adjusted.exe", Outcome::LikeUnzip},
        Case{"utf8.zip", Outcome::LikeUnzip}, Case{"zip64.zip", Outcome::LikeUnzip},
        Case{"zip64-infozip.zip", Outcome::LikeUnzip}, Case{"midnight.zip", Outcome::LikeUnzip},
        Case{"link-in.zip", Outcome::LikeUnzip}, Case{"many-10001.zip", Outcome::LikeUnzip},
        Case{"empty.zip", Outcome::LikeUnzip}, Case{"cp437.zip", Outcome::Listed, 0, "", {}, {{"über.txt"}}},
        Case{"bzip2.zip", Outcome::LikeUnzip},
        // One compression method each (tests/fixtures/methods/make_methods.py).
        Case{"methods/7z-deflate.zip", Outcome::Like7zz}, Case{"methods/7z-copy.zip", Outcome::Like7zz},
        Case{"methods/7z-deflate64.zip", Outcome::Like7zz}, Case{"methods/deflate64-long.zip", Outcome::Like7zz},
        Case{"methods/7z-bzip2.zip", Outcome::Like7zz}, Case{"methods/python-bzip2.zip", Outcome::Like7zz},
        Case{"methods/7z-lzma.zip", Outcome::Like7zz}, Case{"methods/python-lzma.zip", Outcome::Like7zz},
        Case{"methods/xz.zip", Outcome::Like7zz}, Case{"methods/zstd.zip", Outcome::Like7zz},
        Case{"methods/7z-ppmd.zip", Outcome::Refused, UnsupportedMethod, "98 (PPMd)"},
        // Decoders that would need more than the 256 MiB the reader allows.
        Case{"methods/lzma-huge-dictionary.zip", Outcome::Refused, UnsupportedMethod, "larger than 256 MiB"},
        Case{"methods/zstd-huge-window.zip", Outcome::Refused, UnsupportedMethod, "larger than 256 MiB"},
        // A deflated entry with no compressed data: an empty file (unzip
        // makes one too, but calls it an error).
        Case{"empty-deflated.zip", Outcome::Listed},
        // A link on disk leading outside, in the way of the entries of docs/.
        Case{"infozip.zip", Outcome::Refused, PathThroughLink, "docs", {{"docs", "{outside}"}}},

        // ---- Links on disk and absolute link targets ----
        // x -> {target}/l/.. where l -> {outside}/a: the target's own path
        // written out, but it ends up in {outside}.
        Case{"placed/abs-link-via-disk-link.zip",
             Outcome::Refused,
             LinkOutsideTarget,
             "x -> {target}/l/..",
             {{"l", "{outside}/a"}}},
        // x -> {box}/targetX/a: the target's path is the start of the text,
        // but not a folder of it.
        Case{"placed/link-sibling.zip", Outcome::Refused, LinkOutsideTarget, "x -> {box}/targetX/a"},
        // x -> {target}/sub: an absolute target below the target's real path
        // stays inside.
        Case{"placed/abs-link-inside.zip", Outcome::Listed, 0, "", {}, {{"x", nullptr, nullptr, "sub"}}},
        // abs -> {target}/real on disk, and the entry abs/x.txt after
        // first.txt: an absolute link that stays inside is written through.
        Case{"placed/through-abs-disk-link.zip", Outcome::Listed, 0, "", {{"abs", "{target}/real"}}},
        // d -> {target}/l/.. where l -> {outside}/a, and the entry d/f.txt.
        Case{"hostile/disk-links-chain.zip",
             Outcome::Refused,
             PathThroughLink,
             "d/f.txt",
             {{"l", "{outside}/a"}, {"d", "{target}/l/.."}}},

        // ---- Unsafe names (each after a harmless entry) ----
        Case{"hostile/traversal.zip", Outcome::Refused, UnsafeEntryName, "../evil.txt"},
        // {box}/evil.txt: were it written, the box would show it.
        Case{"placed/absolute.zip", Outcome::Refused, UnsafeEntryName, "{box}/evil.txt"},
        Case{"hostile/backslash.zip", Outcome::Refused, UnsafeEntryName, "..\\evil.txt"},
        Case{"hostile/drive-letter.zip", Outcome::Refused, UnsafeEntryName, "C:evil.txt"},

        // ---- Link entries ----
        Case{"hostile/link-out.zip", Outcome::Refused, LinkOutsideTarget, "out -> ../../etc"},
        Case{"hostile/link-absolute.zip", Outcome::Refused, LinkOutsideTarget, "abs -> /etc"},
        // d -> sub, then d/evil.txt: d leads inside, but the refusal must say
        // that the file would be written through the archive's own link.
        Case{"hostile/through-link-entry.zip",
             Outcome::Refused,
             PathThroughLink,
             "{target}/d/evil.txt (its path goes through \"d\", a link entry of this archive",
             {},
             {},
             {},
             "{target}/d/evil.txt\": its path goes through \"d\", a link entry of this archive"},
        Case{"hostile/link-chain.zip", Outcome::Refused, LinkOutsideTarget, "a/b/x -> up/../escape"},
        Case{"hostile/link-after-dotdot.zip", Outcome::Refused, LinkOutsideTarget, "b -> a/../a/up/.."},
        Case{"hostile/link-loop.zip", Outcome::Refused, LinkOutsideTarget, "x -> y"},
        // A 4,096-byte target: one byte more than a link holds.
        Case{"hostile/link-target-4096.zip", Outcome::Refused, CorruptEntry, "its link target is 4096 bytes long"},
        // 300 levels, with a link climbing all of them back and one going
        // all the way down. (Not compared with unzip: the times of 300
        // folders made on the fly differ by a second now and then.)
        Case{"hostile/deep-300.zip",
             Outcome::Listed,
             0,
             "",
             {},
             {{deepBack.c_str(), nullptr, nullptr, "d/f0.txt"}, {"top", nullptr, nullptr, deepFile.c_str()}}},

        // ---- Entries that cannot be read ----
        Case{"hostile/encrypted.zip", Outcome::Refused, EncryptedEntry, "secret.txt"},
        // Its entry is marked encrypted but holds no encryption header.
        Case{"hostile/encrypted.zip",
             Outcome::DataFailure,
             CorruptEntry,
             "secret.txt",
             {},
             {},
             {"plain.txt"},
             nullptr,
             Password},

        // ---- Encrypted entries (password "plovern") ----
        Case{"encrypted/7z-zipcrypto.zip", Outcome::Like7zz, 0, "", {}, {}, {}, nullptr, Password},
        Case{"encrypted/7z-aes128.zip", Outcome::Like7zz, 0, "", {}, {}, {}, nullptr, Password},
        Case{"encrypted/7z-aes256.zip", Outcome::Like7zz, 0, "", {}, {}, {}, nullptr, Password},
        Case{"encrypted/infozip.zip", Outcome::Like7zz, 0, "", {}, {}, {}, nullptr, Password},
        // Its check byte is the time's, since the CRC follows the data.
        Case{"encrypted/infozip-descriptor.zip", Outcome::Like7zz, 0, "", {}, {}, {}, nullptr, Password},
        // A wrong password first: asked again, saying so.
        Case{"encrypted/7z-aes256.zip", Outcome::Like7zz, 0, "", {}, {}, {}, nullptr, "wrong\nplovern"},
        Case{"encrypted/7z-zipcrypto.zip", Outcome::Like7zz, 0, "", {}, {}, {}, nullptr, "wrong\nplovern"},
        // Cancelled at the first encrypted entry: the plain one before stays.
        Case{"hostile/encrypted.zip",
             Outcome::DataFailure,
             PasswordCancelled,
             "Extraction cancelled: no password for secret.txt",
             {},
             {},
             {"plain.txt"},
             "no password for entry \"secret.txt\"",
             ""},
        // One byte of the encrypted data changed: the password passes the
        // check, the authentication code does not. Nothing of it is kept.
        // Given the same password again, the engine calls the entry damaged.
        Case{"encrypted/aes256-tampered.zip",
             Outcome::DataFailure,
             CorruptEntry,
             "docs/medium.txt",
             {},
             {},
             {"docs/"},
             nullptr,
             "plovern\nplovern"},
        Case{"hostile/deflate64.zip", Outcome::DataFailure, CorruptEntry, "data.bin", {}, {}, {"plain.txt"}},
        Case{"hostile/crc.zip", Outcome::DataFailure, CorruptEntry, "bad.txt", {}, {}, {"good.txt"}},
        // A local header offset beyond the zip data.
        Case{"hostile/local-offset-overflow.zip", Outcome::Refused, ArchiveUnreadable, "hello.txt"},

        // ---- Broken structure (tests/cases/make_structure.py) ----
        // A second directory and end record in the comment, offsets 4 KiB
        // past their place: behind a runtime they would hold.
        Case{"crafted/takeover.zip", Outcome::Unreadable, ArchiveUnreadable, "takeover.zip"},
        // inner.bin's local header and data inside outer.txt's data; twenty
        // entries sharing one local header.
        Case{"crafted/overlap.zip", Outcome::Refused, ArchiveUnreadable, "inner.bin"},
        Case{"crafted/shared.zip", Outcome::Refused, ArchiveUnreadable, "same.bin"},
        // Stored in the central header, deflated in the local one.
        Case{"crafted/methods.zip", Outcome::Refused, ArchiveUnreadable, "text.txt"},
        Case{"crafted/nul-name.zip", Outcome::Unreadable, ArchiveUnreadable, "a.txt\\x00hidden"},

        // ---- Damaged archives and none ----
        Case{"hostile/truncated.zip", Outcome::Unreadable, ArchiveUnreadable, "truncated.zip"},
        Case{"hostile/not-an-archive.zip", Outcome::Unreadable, NotAnArchive, "not-an-archive.zip"},
        Case{"hostile/end-offset-overflow.zip", Outcome::Unreadable, ArchiveUnreadable, "end-offset-overflow.zip"},
        Case{"hostile/end-size-overflow.zip", Outcome::Unreadable, ArchiveUnreadable, "end-size-overflow.zip"},
        Case{"hostile/zip64-end-overflow.zip", Outcome::Unreadable, ArchiveUnreadable, "zip64-end-overflow.zip"},
        Case{"hostile/zip64-offset-overflow.zip", Outcome::Unreadable, ArchiveUnreadable, "zip64-offset-overflow.zip"},

        // ---- Unusual but sound ----
        Case{"hostile/entry-comment.zip",
             Outcome::LikeUnzip,
             0,
             "",
             {},
             {{"first.txt", nullptr, "A comment on the first entry."}}},
        Case{"hostile/time-2040.zip", Outcome::Listed, 0, "", {}, {{"future.txt", "2040-06-01 12:34:57"}}},
        Case{"hostile/macos-link.zip", Outcome::Listed, 0, "", {}, {{"link", nullptr, nullptr, "target.txt"}}},
        Case{"hostile/overlong-utf8.zip", Outcome::Listed, 0, "", {}, {{"bad└»name.txt"}}}),
    [](const ::testing::TestParamInfo<Case>& info) {
        std::string name = QFileInfo(QString::fromUtf8(info.param.fixture)).fileName().toStdString();
        for (char& c : name) {
            if (!isalnum(static_cast<unsigned char>(c)))
                c = '_';
        }
        std::string passwords = info.param.passwords ? info.param.passwords : "no";
        passwords = passwords.substr(passwords.find('\n') + 1) == passwords
            ? (passwords.empty() ? "_cancelled" : (passwords == "no" ? "" : "_password"))
            : "_wrong_password_first";
        return name + (info.param.disk.empty() ? "" : "_with_links") + passwords;
    });

} // namespace
