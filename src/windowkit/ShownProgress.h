#ifndef PLOVERN_SHOWNPROGRESS_H
#define PLOVERN_SHOWNPROGRESS_H

#include "ArchiveEngine.h"

#include <QString>

#include <memory>

class Platform;
class ProgressWindow;
class QWidget;

// Shows the progress of the engine's long actions in a progress window of
// the platform for as long as it lives, with texts such as "Extracting 3 of
// 5 files — 1.2 GB of 3.4 GB"; the window's Stop button stops the action.
class ShownProgress
{
public:
    ShownProgress(Platform& platform, QWidget* window, ArchiveEngine& engine, const QString& title,
                  const QString& doing);
    ~ShownProgress();
    ShownProgress(const ShownProgress&) = delete;
    ShownProgress& operator=(const ShownProgress&) = delete;

    static QString text(const QString& doing, const ArchiveEngine::Progress& progress);

private:
    ArchiveEngine& m_engine;
    std::unique_ptr<ProgressWindow> m_window;
};

#endif // PLOVERN_SHOWNPROGRESS_H
