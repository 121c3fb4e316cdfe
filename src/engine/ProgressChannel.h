#ifndef PLOVERN_PROGRESSCHANNEL_H
#define PLOVERN_PROGRESSCHANNEL_H

#include "ArchiveEngine.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

// Thrown inside the engine when the progress handler asked to stop; the
// action turns it into its Stopped failure, which says what was kept.
struct StopRequested
{};

// Carries an action's progress from the threads doing the work to the
// progress handler, which is only ever called on the thread that started the
// action, and carries the handler's answer back.
//
// run() does the work on a worker thread while the calling thread waits,
// calling the handler with the latest state at every checkpoint and at least
// every 50 ms, and once more when the work is over. Without a handler the
// work runs on the calling thread and nothing ever stops it.
class ProgressChannel
{
public:
    explicit ProgressChannel(ArchiveEngine::ProgressHandler handler);

    // Calling thread: runs `work` and returns (or throws) what it did.
    void run(const std::function<void()>& work);

    // Worker side; any thread.
    void setTotals(std::int64_t files, std::int64_t bytes);
    void setEntry(const QString& name);
    void addBytes(std::int64_t bytes);
    // Sets the part done of the whole, for work that only knows that.
    void setFraction(double done);
    // Counts one file done, then waits for the handler's answer to it.
    // False when the handler asked to stop.
    bool fileDone();
    // Waits for the handler's answer to the state as it is. False when the
    // handler asked to stop.
    bool checkpoint();
    // Whether the handler asked to stop, without waiting.
    bool stopRequested() const;
    std::int64_t filesDone() const;
    std::int64_t filesTotal() const;

private:
    ArchiveEngine::ProgressHandler m_handler;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    ArchiveEngine::Progress m_state;
    std::uint64_t m_asked = 0;
    std::uint64_t m_answered = 0;
    bool m_stop = false;
    bool m_threaded = false;
};

#endif // PLOVERN_PROGRESSCHANNEL_H
