#include "ProgressChannel.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <thread>

ProgressChannel::ProgressChannel(ProgressHandler handler)
    : m_handler(std::move(handler))
{}

void ProgressChannel::run(const std::function<void()>& work)
{
    if (!m_handler) {
        work();
        return;
    }
    m_threaded = true;
    bool finished = false;
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        const std::lock_guard<std::mutex> lock(m_mutex);
        finished = true;
        m_changed.notify_all();
    });

    std::unique_lock<std::mutex> lock(m_mutex);
    while (true) {
        m_changed.wait_for(lock, std::chrono::milliseconds(50), [&] { return finished || m_asked > m_answered; });
        const Progress state = m_state;
        const std::uint64_t asked = m_asked;
        const bool over = finished;
        lock.unlock();
        bool goOn = true;
        try {
            goOn = m_handler(state);
        } catch (...) {
            // A handler that fails cannot stop the work half-way safely; the
            // work is stopped at its next checkpoint and the failure told.
            lock.lock();
            m_stop = true;
            m_changed.notify_all();
            lock.unlock();
            worker.join();
            throw;
        }
        lock.lock();
        if (!goOn && !over)
            m_stop = true;
        m_answered = asked;
        m_changed.notify_all();
        if (over)
            break;
    }
    lock.unlock();
    worker.join();
    if (failure)
        std::rethrow_exception(failure);
}

void ProgressChannel::runHere(const std::function<void()>& work)
{
    if (!m_handler) {
        work();
        return;
    }
    m_here = true;
    m_caller = std::this_thread::get_id();
    m_lastAnswer = std::chrono::steady_clock::now();
    std::exception_ptr failure;
    try {
        work();
    } catch (...) {
        failure = std::current_exception();
    }
    if (m_handlerFailure)
        std::rethrow_exception(m_handlerFailure);
    Progress state;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        state = m_state;
    }
    m_handler(state); // the work is over: its answer changes nothing
    if (failure)
        std::rethrow_exception(failure);
}

bool ProgressChannel::onCallingThread() const
{
    return m_here && std::this_thread::get_id() == m_caller;
}

void ProgressChannel::answerHere()
{
    if (m_handlerFailure)
        return;
    Progress state;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        state = m_state;
    }
    m_lastAnswer = std::chrono::steady_clock::now();
    bool goOn = true;
    try {
        goOn = m_handler(state);
    } catch (...) {
        m_handlerFailure = std::current_exception();
        goOn = false;
    }
    if (!goOn) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
}

void ProgressChannel::setTotals(std::int64_t files, std::int64_t bytes)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_state.filesTotal = files;
    m_state.bytesTotal = bytes;
}

void ProgressChannel::setEntry(const QString& name)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_state.entry = name;
}

void ProgressChannel::addBytes(std::int64_t bytes)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_state.bytesDone += bytes;
    }
    if (onCallingThread() && std::chrono::steady_clock::now() - m_lastAnswer >= std::chrono::milliseconds(50))
        answerHere();
}

void ProgressChannel::setFraction(double done)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    done = std::min(1.0, std::max(0.0, done));
    m_state.bytesDone = static_cast<std::int64_t>(done * static_cast<double>(m_state.bytesTotal));
    m_state.filesDone = static_cast<std::int64_t>(done * static_cast<double>(m_state.filesTotal));
}

bool ProgressChannel::fileDone()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        ++m_state.filesDone;
    }
    return checkpoint();
}

bool ProgressChannel::checkpoint()
{
    if (m_here) {
        if (onCallingThread())
            answerHere();
        return !stopRequested();
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_threaded)
        return true;
    const std::uint64_t ticket = ++m_asked;
    m_changed.notify_all();
    m_changed.wait(lock, [&] { return m_answered >= ticket || m_stop; });
    return !m_stop;
}

void ProgressChannel::waitHere(const std::function<bool()>& done)
{
    if (!onCallingThread())
        return;
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_changed.wait_for(lock, std::chrono::milliseconds(50), done)) {
        lock.unlock();
        answerHere();
        lock.lock();
    }
}

void ProgressChannel::wake()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_changed.notify_all();
}

bool ProgressChannel::stopRequested() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_stop;
}

std::int64_t ProgressChannel::filesDone() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_state.filesDone;
}

std::int64_t ProgressChannel::filesTotal() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_state.filesTotal;
}
