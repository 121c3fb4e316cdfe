#ifndef PLOVERN_WINDOWTEST_H
#define PLOVERN_WINDOWTEST_H

#include "ScriptedPlatform.h"
#include "TestFiles.h"
#include "mainwindow/Form1.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <memory>

class QWidget;

// A real main window driven through the scripted platform, in a temporary
// folder that is also the home folder and the current folder while the test
// runs.
class WindowTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Clicks the button called `name` (its object name) on `window`.
    static void click(QWidget* window, const QString& name);
    // The rows of the main list, each as "name|compressed|date|normal".
    QStringList rows() const;
    // Clicks `button` on the row whose name is `entryName` in the main list.
    void clickEntry(const QString& entryName, Qt::MouseButton button = Qt::LeftButton);
    // Opens `archive` through the Open button with the scripted dialog.
    void openArchive(const QString& archive);

    // What python's zipfile reads from `archive`: "name|compressed|normal" rows.
    static QStringList zipfileRows(const QString& archive);
    // The entry names `unzip -Z1` prints for `archive`.
    static QStringList unzipNames(const QString& archive);

    QString path(const QString& relative) const { return m_dir.path() + QLatin1Char('/') + relative; }

    QTemporaryDir m_dir;
    QString m_oldHome;
    QString m_oldCurrent;
    ScriptedPlatform m_platform;
    std::unique_ptr<Form1> m_form1;
};

#endif // PLOVERN_WINDOWTEST_H
