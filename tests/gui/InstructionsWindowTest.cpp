#include "WindowTest.h"
#include "help/Form4.h"

#include <QPlainTextEdit>

using InstructionsWindowTest = WindowTest;

TEST_F(InstructionsWindowTest, HelpTextHasItsBlocksInOrderWithCrLfBreaks)
{
    const QString text = m_form1->form4().composedText();
    const QString crlf = QStringLiteral("\r\n");
    EXPECT_TRUE(text.startsWith(QStringLiteral("Welcome to Marrowfen Plovern 3.4\r\n\r\n")));
    EXPECT_TRUE(text.endsWith(QStringLiteral("Please note: Before a self-extracting file can me made, a zip file must "
                                             "first be 'opened' by either creating one or opening one.\r\n\r\n")));
    // Every line break is CR LF.
    EXPECT_EQ(text.count(QLatin1Char('\n')), text.count(crlf));
    EXPECT_EQ(text.count(QLatin1Char('\r')), text.count(crlf));

    EXPECT_TRUE(text.contains(
        QStringLiteral("Marrowfen Plovern 3.4 is a program that allows a user to do the following:\r\n\r\n"
                       "a) Zip a file\r\nb) Unzip a file\r\nc) Create a self-extracting zip file\r\n"
                       "d) Delete a file within a zip file\r\ne) Add a file to a zip file\r\n"
                       "f) Add text to display after a self-extracting file is decompressed\r\n"
                       "g) Run a program (executable) automatically after a self-extracting file is executed.\r\n\r\n"
                       "---------------------------------\r\n\r\nWhat's new in version 3.0?\r\n\r\n")));

    const QString separator = QStringLiteral("---------------------------------");
    EXPECT_EQ(separator.size(), 33);
    EXPECT_EQ(text.count(separator + crlf + crlf), 4);
    EXPECT_EQ(text.count(separator), 4);
    EXPECT_FALSE(QString(text).remove(separator).contains(QStringLiteral("--")));

    const qsizetype v30 = text.indexOf(QStringLiteral("\r\n\r\nWhat's new in version 3.0?\r\n\r\n"));
    const qsizetype v31 = text.indexOf(QStringLiteral("\r\n\r\nWhat's new in version 3.1?\r\n\r\n"));
    const qsizetype v34 = text.indexOf(QStringLiteral("\r\n\r\nWhat's new in version 3.4?\r\n\r\n"));
    EXPECT_TRUE(v30 > 0 && v30 < v31 && v31 < v34);
    EXPECT_TRUE(text.contains(QStringLiteral(
        "We have added additional msgbox tips within the program to make it even easier to use.\r\n\r\n")));
    EXPECT_TRUE(text.contains(QStringLiteral(
        "---------------------------------\r\n\r\nAll buttons and fields have bubble help.\r\n\r\nPlease note:")));
    // No block runs into the next: nowhere three line breaks in a row.
    EXPECT_FALSE(text.contains(crlf + crlf + crlf));
}

TEST_F(InstructionsWindowTest, ShowsTheComposedTextAndHidesOnClose)
{
    click(m_form1.get(), QStringLiteral("BCHCButton5"));
    Form4& form4 = m_form1->form4();
    EXPECT_TRUE(form4.isVisible());
    EXPECT_EQ(form4.windowTitle(), QStringLiteral("Marrowfen Plovern 3.4 Instructions"));
    EXPECT_EQ(form4.text1()->toPlainText(),
              QString(form4.composedText()).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    EXPECT_FALSE(form4.text1()->isReadOnly());
    EXPECT_EQ(form4.size(), QSize(592, 601));

    // The user's edits stay while the window is only hidden and shown again.
    form4.text1()->setPlainText(QStringLiteral("scribbled"));
    click(&form4, QStringLiteral("BCHCButton1"));
    EXPECT_FALSE(form4.isVisible());
    click(m_form1.get(), QStringLiteral("BCHCButton5"));
    EXPECT_TRUE(form4.isVisible());
    EXPECT_EQ(form4.text1()->toPlainText(), QStringLiteral("scribbled"));
    EXPECT_TRUE(m_platform.calls().isEmpty());
}
