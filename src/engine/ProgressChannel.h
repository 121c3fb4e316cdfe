#ifndef PLOVERN_PROGRESSCHANNEL_H
#define PLOVERN_PROGRESSCHANNEL_H

#include "Progress.h"

#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

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
// every 50 ms, and once more when the work is over. runHere() does the work
// on the calling thread itself, which then calls the handler directly: at
// each of its own checkpoints, from addBytes() when 50 ms have passed since
// the last call, and once more when the work is over; checkpoints of other
// threads the work starts do not wait for an answer, they only tell whether
// the handler has asked to stop. That spares work made of many small steps
// on several threads a hand-over between threads at every step. Without a
// handler the work runs on the calling thread and nothing ever stops it.
class ProgressChannel
{
public:
    explicit ProgressChannel(ProgressHandler handler);

    // Calling thread: runs `work` and returns (or throws) what it did.
    void run(const std::function<void()>& work);
    void runHere(const std::function<void()>& work);

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
    // Calling thread of runHere(): waits until `done` holds, answering the
    // handler at least every 50 ms meanwhile. Whoever makes `done` true
    // calls wake() after. Elsewhere, returns at once.
    void waitHere(const std::function<bool()>& done);
    void wake();
    // Whether the handler asked to stop, without waiting.
    bool stopRequested() const;
    std::int64_t filesDone() const;
    std::int64_t filesTotal() const;

private:
    bool onCallingThread() const;
    // runHere(): asks the handler on the calling thread; a failing handler
    // stops the work, and its exception is rethrown once the work is over.
    void answerHere();

    ProgressHandler m_handler;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    Progress m_state;
    std::uint64_t m_asked = 0;
    std::uint64_t m_answered = 0;
    bool m_stop = false;
    bool m_threaded = false;
    // Set by runHere() before the work starts, and read-only from then on.
    bool m_here = false;
    std::thread::id m_caller;
    // Used by the calling thread only.
    std::chrono::steady_clock::time_point m_lastAnswer;
    std::exception_ptr m_handlerFailure;
};

#endif // PLOVERN_PROGRESSCHANNEL_H
