#ifndef PLOVERN_PRIVATESETTINGS_H
#define PLOVERN_PRIVATESETTINGS_H

#include <QString>
#include <QTemporaryDir>

// The program keeps no settings between runs, but Qt keeps some of its own:
// the file dialog writes its history and last folder to the user's
// configuration folder. While an object of this class lives, Qt's settings go
// to a private temporary folder instead, removed when the object goes; within
// the run the dialogs still remember where they were. When the session names
// no runtime folder for Qt (XDG_RUNTIME_DIR), one is made in it too.
class PrivateSettings
{
public:
    PrivateSettings();

    // Where Qt's settings go for this run.
    QString folder() const { return m_folder; }

private:
    QTemporaryDir m_dir;
    QString m_folder;
};

#endif // PLOVERN_PRIVATESETTINGS_H
