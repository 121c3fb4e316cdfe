#include "HelpText.h"

#include <initializer_list>

namespace HelpText {

namespace {
const QString LineBreak = QStringLiteral("\r\n");
const QString Separator = QStringLiteral("---------------------------------");

// Every paragraph is followed by one empty line.
QString paragraphs(std::initializer_list<QString> list)
{
    QString text;
    for (const QString& paragraph : list)
        text += paragraph + LineBreak + LineBreak;
    return text;
}

// One paragraph of several lines.
QString lines(std::initializer_list<QString> list)
{
    QString text;
    for (const QString& line : list)
        text += line + LineBreak;
    return text + LineBreak;
}

QString introduction()
{
    QString text = paragraphs({
        QStringLiteral("Welcome to Marrowfen Plovern 3.4"),
        QStringLiteral("Marrowfen Plovern makes zip files and self-extracting zip files, and a self-extracting file "
                       "it makes can even start another program once it has been run and has unpacked its files."),
        QStringLiteral("Marrowfen Plovern 3.4 is a program that allows a user to do the following:"),
    });
    text += lines({
        QStringLiteral("a) Zip a file"),
        QStringLiteral("b) Unzip a file"),
        QStringLiteral("c) Create a self-extracting zip file"),
        QStringLiteral("d) Delete a file within a zip file"),
        QStringLiteral("e) Add a file to a zip file"),
        QStringLiteral("f) Add text to display after a self-extracting file is decompressed"),
        QStringLiteral("g) Run a program (executable) automatically after a self-extracting file is executed."),
    });
    return text;
}

QString whatsNew()
{
    QString text = paragraphs({
        Separator,
        QStringLiteral("What's new in version 3.0?"),
        QStringLiteral("Self-extracting files made with version 3.0 can create their target folder before they "
                       "unzip into it.  Those made with earlier versions could only extract to folders that "
                       "already existed."),
        QStringLiteral("We have added additional msgbox tips within the program to make it even easier to use."),
        QStringLiteral("Passwords can no longer be given to self-extracting executables.  A self-extracting file "
                       "still shows a password field when it runs: leave it blank.  The field is only there "
                       "because the archive component asks for it."),
    });
    text += paragraphs({
        Separator,
        QStringLiteral("What's new in version 3.1?"),
        QStringLiteral("We corrected a fault by which the paths of files were sometimes not saved even though "
                       "you had chosen to include them.  You can now clear a check box to stop the helpful "
                       "messages, which are shown by default.  We also corrected a fault in creating folders in "
                       "certain situations."),
    });
    text += paragraphs({
        Separator,
        QStringLiteral("What's new in version 3.4?"),
        QStringLiteral("New buttons and a new skin were added, some fonts were changed, and the check box that "
                       "shows additional helpful messages is now unchecked by default."),
    });
    return text;
}
} // namespace

QString compose()
{
    QString text = introduction();
    text += whatsNew();
    text += paragraphs({
        Separator,
        QStringLiteral("All buttons and fields have bubble help."),
        QStringLiteral("Please note: Before a self-extracting file can me made, a zip file must first be "
                       "'opened' by either creating one or opening one."),
    });
    return text;
}

} // namespace HelpText
