#ifndef PLOVERN_WORKINGSTATE_H
#define PLOVERN_WORKINGSTATE_H

#include <QString>

class ArchiveEngine;
class Platform;

// What the workflows and the secondary windows use of the main window: the
// working state of the program (the current archive, the hints flag, the
// listing) and the few things they ask the main window to do. The main window
// implements it; nothing that depends on it needs to know that window.
class WorkingState
{
public:
    virtual ~WorkingState() = default;

    virtual Platform& platform() = 0;
    // The main engine instance, the one that lists archives and builds
    // self-extractors.
    virtual ArchiveEngine& engine() = 0;

    // The current archive path; empty when there is none.
    virtual QString currentArchive() const = 0;
    virtual void setCurrentArchive(const QString& path) = 0;
    // Whether the user wants helpful hints, read at the moment of asking.
    virtual bool hintsOn() const = 0;

    // Empties the listing of the current archive.
    virtual void clearList() = 0;
    // Hides the add-files, extract and instructions windows.
    virtual void hideSecondaryWindows() = 0;
    // Shows the add-files window modeless and brings it to the front.
    virtual void showAddFilesWindow() = 0;
    // Shows the main window and brings it to the front.
    virtual void showMainWindow() = 0;
    // Shows the busy pointer over the main window, or the default one.
    virtual void setMainWindowBusy(bool busy) = 0;
};

#endif // PLOVERN_WORKINGSTATE_H
