#ifndef PLOVERN_PROGRESS_H
#define PLOVERN_PROGRESS_H

#include <QString>

#include <cstdint>
#include <functional>

// How far a long action has got. Files count the files written (Extract) or
// the entries of the archive being written (FinishAdding, DeleteFiles);
// bytes count their data. A total of 0 is not known.
struct Progress
{
    QString entry; // the entry being written, when known
    std::int64_t bytesDone = 0;
    std::int64_t bytesTotal = 0;
    std::int64_t filesDone = 0;
    std::int64_t filesTotal = 0;
};

// Receives an action's progress on the thread that started the action.
// Answers true to go on, false to stop the action.
using ProgressHandler = std::function<bool(const Progress&)>;

#endif // PLOVERN_PROGRESS_H
