#include "WindowTest.h"

#include "TestFiles.h"

#include <QDir>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

void WindowTest::SetUp()
{
    ASSERT_TRUE(m_dir.isValid());
    // Canonical, so that paths the windows build compare equal to ours.
    const QString dir = QDir(m_dir.path()).canonicalPath();
    m_oldHome = qEnvironmentVariable("HOME");
    m_oldCurrent = QDir::currentPath();
    qputenv("HOME", QFile::encodeName(dir));
    QDir::setCurrent(dir);
    m_form1 = std::make_unique<Form1>(m_platform);
    m_form1->show();
}

void WindowTest::TearDown()
{
    m_form1.reset();
    QDir::setCurrent(m_oldCurrent);
    qputenv("HOME", QFile::encodeName(m_oldHome));
    EXPECT_FALSE(m_platform.unansweredLeft()) << "scripted answers left unused";
}

void WindowTest::click(QWidget* window, const QString& name)
{
    auto* button = window->findChild<QPushButton*>(name);
    ASSERT_NE(button, nullptr) << name.toStdString();
    QTest::mouseClick(button, Qt::LeftButton);
}

QStringList WindowTest::rows() const
{
    QStringList out;
    QTreeWidget* list = m_form1->listView1();
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = list->topLevelItem(i);
        out << item->text(0) + QLatin1Char('|') + item->text(1) + QLatin1Char('|') + item->text(2) + QLatin1Char('|')
                + item->text(3);
    }
    return out;
}

void WindowTest::clickEntry(const QString& entryName, Qt::MouseButton button)
{
    QTreeWidget* list = m_form1->listView1();
    const QList<QTreeWidgetItem*> found = list->findItems(entryName, Qt::MatchExactly, 0);
    ASSERT_EQ(found.size(), 1) << entryName.toStdString();
    list->scrollToItem(found.first());
    const QRect rect = list->visualItemRect(found.first());
    QTest::mouseClick(list->viewport(), button, Qt::NoModifier, rect.center());
}

void WindowTest::openArchive(const QString& archive)
{
    m_platform.answerOpen(archive);
    click(m_form1.get(), QStringLiteral("BCHCButton1"));
}

QStringList WindowTest::zipfileRows(const QString& archive)
{
    QByteArray out;
    const int rc = TestFiles::run(QStringLiteral("python3"),
                                  {QStringLiteral("-c"),
                                   QStringLiteral("import sys, zipfile\n"
                                                  "for i in zipfile.ZipFile(sys.argv[1]).infolist():\n"
                                                  "    print(f'{i.filename}|{i.compress_size}|{i.file_size}')\n"),
                                   archive},
                                  &out);
    EXPECT_EQ(rc, 0) << out.toStdString();
    return QString::fromUtf8(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList WindowTest::unzipNames(const QString& archive)
{
    QByteArray out;
    TestFiles::run(QStringLiteral("unzip"), {QStringLiteral("-Z1"), archive}, &out);
    return QString::fromUtf8(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}
