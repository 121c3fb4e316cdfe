#include "HelpText.h"

#include <QStringList>

namespace HelpText {

QString compose()
{
    const QString br = QStringLiteral("\r\n");
    const QString block = br + br; // every block is followed by one empty line
    const QString separator = QStringLiteral("---------------------------------");

    QString text;
    text += QStringLiteral("Welcome to Marrowfen Plovern 3.4") + block;
    text += QStringLiteral("Marrowfen Plovern makes zip files and self-extracting zip files, and a self-extracting "
                           "file it makes can even start another program once it has been run and has unpacked "
                           "its files.")
        + block;
    text += QStringLiteral("Marrowfen Plovern 3.4 is a program that allows a user to do the following:") + block;

    const QStringList features = {
        QStringLiteral("a) Zip a file"),
        QStringLiteral("b) Unzip a file"),
        QStringLiteral("c) Create a self-extracting zip file"),
        QStringLiteral("d) Delete a file within a zip file"),
        QStringLiteral("e) Add a file to a zip file"),
        QStringLiteral("f) Add text to display after a self-extracting file is decompressed"),
        QStringLiteral("g) Run a program (executable) automatically after a self-extracting file is executed."),
    };
    for (const QString& feature : features)
        text += feature + br;
    text += br;

    text += separator + block;
    text += QStringLiteral("What's new in version 3.0?") + block;
    text += QStringLiteral("Self-extracting files made with version 3.0 can create their target folder before they "
                           "unzip into it.  Those made with earlier versions could only extract to folders that "
                           "already existed.")
        + block;
    text += QStringLiteral("We have added additional msgbox tips within the program to make it even easier to use.")
        + block;
    text += QStringLiteral("Passwords can no longer be given to self-extracting executables.  A self-extracting file "
                           "still shows a password field when it runs: leave it blank.  The field is only there "
                           "because the archive component asks for it.")
        + block;

    text += separator + block;
    text += QStringLiteral("What's new in version 3.1?") + block;
    text += QStringLiteral("We corrected a fault by which the paths of files were sometimes not saved even though "
                           "you had chosen to include them.  You can now clear a check box to stop the helpful "
                           "messages, which are shown by default.  We also corrected a fault in creating folders in "
                           "certain situations.")
        + block;

    text += separator + block;
    text += QStringLiteral("What's new in version 3.4?") + block;
    text += QStringLiteral("New buttons and a new skin were added, some fonts were changed, and the check box that "
                           "shows additional helpful messages is now unchecked by default.")
        + block;

    text += separator + block;
    text += QStringLiteral("All buttons and fields have bubble help.") + block;
    text += QStringLiteral("Please note: Before a self-extracting file can me made, a zip file must first be "
                           "'opened' by either creating one or opening one.")
        + block;
    return text;
}

} // namespace HelpText
