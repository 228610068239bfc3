#include "hlx/runqueue.h"

#include "hlx/exceptions.h"
#include "hlx/logger.h"
#include "hlx/thread.h"

#include <stdio.h>
#include <time.h>

#include <algorithm>
#include <utility>

namespace hlx {

namespace {

const char kUnit[] = "runqueue";

LoggerPtr runQueueLogger()
{
    return Logger::getLogger("util.runqueue");
}

} // namespace

Runnable::~Runnable() = default;

namespace {

Map<std::string, RunQueue *> &registeredQueues()
{
    static Map<std::string, RunQueue *> queues;
    return queues;
}

} // namespace

RunQueue::QueueMap RunQueue::gQueues(registeredQueues);

RunQueue *RunQueue::get(const std::string &name, bool create, unsigned int capacity)
{
    QueueMap::Guard queues(gQueues);
    std::map<std::string, RunQueue *>::const_iterator found = queues->find(name);
    if (found != queues->end())
        return found->second;
    if (!create)
        return nullptr;
    RunQueue *queue = new RunQueue(capacity, false);
    runQueueLogger()->log(LEVEL_DEBUG, "Created new RunQueue %s", name.c_str());
    (*queues)[name] = queue;
    return queue;
}

void RunQueue::remove(const std::string &name)
{
    QueueMap::Guard queues(gQueues);
    std::map<std::string, RunQueue *>::iterator found = queues->find(name);
    if (found == queues->end())
        return;
    delete found->second;
    queues->erase(found);
}

RunQueue::RunQueue(unsigned int capacity, bool quiet, unsigned int batch, unsigned int gatherMicroseconds)
    : m_mutex(batch > 1 && gatherMicroseconds > 0), m_capacity(capacity), m_quiet(quiet),
      m_batch(std::min<unsigned int>(std::max(batch, 1u), kMaxBatch)),
      m_gatherMicroseconds(m_batch > 1 ? gatherMicroseconds : 0),
      m_gathered(capacity != 0 ? std::max(capacity / 4, 1u) : SIZE_MAX)
{
}

RunQueue::~RunQueue() = default;

void RunQueue::add(const QueueAblePtr &item)
{
    add(QueueAblePtr(item));
}

void RunQueue::add(QueueAblePtr &&item)
{
    // Asked before the lock is taken, so that the locked region runs none
    // of the item's code unless it replaces a duplicate.
    const bool replaces = item->replacesDuplicates();
    ScopedLock guard(m_mutex, ScopedLock::CancelSwitchWhenNeeded());
    if (m_capacity != 0 && m_items.size() >= m_capacity) {
        // Building the exception may log.
        guard.beforeCancellationPoint();
        throwFull(m_items.size());
    }
    if (replaces) {
        guard.beforeCancellationPoint();
        removeDuplicate(item->key());
    }
    m_items.push_back(std::move(item));
    if (m_capacity != 0 && m_items.size() >= m_capacity / 2) {
        guard.beforeCancellationPoint();
        Thread::yield();
    }
    bool wake = m_waitingWorkers > 0 || (m_gatheringWorkers > 0 && m_items.size() >= m_gathered);
    // Woken after the unlock, a worker finds the mutex free instead of
    // waking only to block on it again. A worker that starts waiting after
    // the unlock finds the item first.
    guard.release();
    if (wake)
        m_mutex.broadcast();
}

void RunQueue::throwFull(size_t count) const
{
    char message[64];
    snprintf(message, sizeof message, "runqueue full %ld", static_cast<long>(count));
    throw BufferFullException(kUnit, __LINE__, message, "BufferFullException", -1, !m_quiet);
}

void RunQueue::removeDuplicate(const std::string &key)
{
    for (std::deque<QueueAblePtr>::iterator waiting = m_items.begin(); waiting != m_items.end(); ++waiting) {
        if ((*waiting)->key() != key)
            continue;
        m_items.erase(waiting);
        if (!m_quiet)
            runQueueLogger()->log(LEVEL_DEBUG, "removed duplicate request %s", key.c_str());
        return;
    }
}

void RunQueue::run(int limit)
{
    const time_t start = time(nullptr);
    const time_t deadline = start + limit;
    // The items taken at once, oldest first (see the constructor's batch).
    QueueAblePtr taken[kMaxBatch];
    for (;;) {
        size_t count = 0;
        {
            ScopedLock guard(m_mutex, ScopedLock::CancelSwitchWhenNeeded());
            // Whether this worker found the queue empty and waited.
            bool waited = false;
            for (;;) {
                if (m_interrupted) {
                    guard.beforeCancellationPoint();
                    m_interrupted = false;
                    throw QueueInterrupted(kUnit, __LINE__, "QueueInterrupted", "QueueInterrupted", 0, !m_quiet);
                }
                if (!m_items.empty()) {
                    if (!waited || m_gatherMicroseconds == 0 || limit < 0 || m_items.size() >= m_gathered)
                        break;
                    waited = false;
                    guard.beforeCancellationPoint();
                    gather(guard);
                    continue;
                }
                // Waiting on the condition is a cancellation point.
                guard.beforeCancellationPoint();
                waited = true;
                ++m_waitingWorkers;
                if (limit == 0) {
                    waitForWork(guard, nullptr);
                    continue;
                }
                struct timespec until = {deadline, 0};
                waitForWork(guard, &until);
                time_t now = time(nullptr);
                if (now >= deadline || now < start)
                    return;
            }
            count = 1;
            if (m_batch > 1 && limit >= 0) {
                // A share of a backlog, leaving the rest to the workers waiting.
                size_t share = m_items.size() / (m_waitingWorkers + 1);
                count = std::min<size_t>(std::max<size_t>(share, 1), m_batch);
            }
            for (size_t i = 0; i < count; ++i) {
                taken[i] = std::move(m_items.front());
                m_items.pop_front();
            }
            // Released here rather than by the destructor, which would first
            // ask whether an exception is unwinding the stack.
            guard.release();
        }
        for (size_t i = 0; i < count; ++i) {
            try {
                taken[i]->run();
            } catch (const HLXException &e) {
                if (!m_quiet)
                    runQueueLogger()->log(LEVEL_DEBUG, "unhandled exception %s", e.what());
            } catch (...) {
                taken[i].reset();
                putBack(taken + i + 1, count - i - 1);
                throw;
            }
            taken[i].reset();
            if (limit != 0 && i + 1 < count) {
                time_t now = time(nullptr);
                if (now >= deadline || now < start) {
                    putBack(taken + i + 1, count - i - 1);
                    return;
                }
            }
        }
        if (limit < 0)
            return;
        if (limit != 0) {
            time_t now = time(nullptr);
            if (now >= deadline || now < start)
                return;
        }
    }
}

// Returns items taken but not run to the front of the queue, in their order.
void RunQueue::putBack(QueueAblePtr *items, size_t count)
{
    if (count == 0)
        return;
    ScopedLock guard(m_mutex);
    for (size_t i = count; i > 0; --i)
        m_items.push_front(std::move(items[i - 1]));
}

// Called with the mutex held and the worker counted as waiting.
void RunQueue::waitForWork(ScopedLock &guard, const struct timespec *deadline)
{
    try {
        guard.wait(deadline);
    } catch (...) {
        --m_waitingWorkers;
        throw;
    }
    --m_waitingWorkers;
}

// Called with the mutex held, by a worker that found items after waiting:
// lets more gather (see the constructor). Returns at the end of the gathering
// time, once a quarter of the capacity waits, or when interrupted.
void RunQueue::gather(ScopedLock &guard)
{
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_nsec += static_cast<long>(m_gatherMicroseconds % 1000000) * 1000;
    until.tv_sec += m_gatherMicroseconds / 1000000 + until.tv_nsec / 1000000000;
    until.tv_nsec %= 1000000000;
    ++m_gatheringWorkers;
    try {
        while (!m_interrupted && m_items.size() < m_gathered && guard.waitUntilMonotonic(until)) {
            // Woken before the time: by add(), interrupt() or for no reason.
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (now.tv_sec > until.tv_sec || (now.tv_sec == until.tv_sec && now.tv_nsec >= until.tv_nsec))
                break;
        }
    } catch (...) {
        --m_gatheringWorkers;
        throw;
    }
    --m_gatheringWorkers;
}

void RunQueue::interrupt()
{
    ScopedLock guard(m_mutex);
    m_interrupted = true;
    m_mutex.broadcast();
}

void RunQueue::clear()
{
    std::deque<QueueAblePtr> released;
    {
        ScopedLock guard(m_mutex);
        released.swap(m_items);
    }
}

QueueAblePtr RunQueue::removeNewest()
{
    ScopedLock guard(m_mutex);
    QueueAblePtr newest;
    if (!m_items.empty()) {
        newest = std::move(m_items.back());
        m_items.pop_back();
    }
    return newest;
}

size_t RunQueue::size()
{
    ScopedLock guard(m_mutex);
    return m_items.size();
}

} // namespace hlx
