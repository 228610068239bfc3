#include "hlx/log_queue.h"

#include "hlx/exceptions.h"
#include "hlx/logger.h"
#include "hlx/mutex.h"
#include "hlx/property_lookup.h"
#include "hlx/thread.h"

#include <boost/shared_ptr.hpp>

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <new>
#include <utility>

namespace hlx {

namespace {

const int DEFAULT_QUEUE_SIZE = 256;
// How long the log thread lets lines gather once woken (see RunQueue).
const unsigned int GATHER_MICROSECONDS = 2000;

// Queue and thread exist together or not at all; both are installed and
// removed under the output mutex, which every producer holds while it adds.
RunQueue *gLogQueue = nullptr;
Thread *gLogThread = nullptr;
// The logger "log", which decides whether a full queue is reported. Taken
// when the queue starts, so that the output step, holding the output mutex,
// never takes the logger registry's lock (a configuration holds that lock
// while it logs). The registry keeps every logger to the end of the
// process, so a plain pointer will do, and nothing is left to release at
// exit.
Logger *gDropReporter = nullptr;

// Serialises startQueue and stopQueue. Taken before the output mutex, and
// held while the thread is started and joined, which the output mutex is
// not: a starting thread takes the logger registry's lock.
LazyMutex gQueueControlMutex;

long logThreadBody(long)
{
    // Installed before the thread was created and removed only after it was
    // joined.
    RunQueue *queue = gLogQueue;
    try {
        queue->run(0);
    } catch (const QueueInterrupted &) {
        return 0;
    } catch (const std::exception &e) {
        // Not through a logger: its output would come back to this queue.
        syslog(LOG_WARNING, "Unexpected runqueue exception %s", e.what());
    }
    return 0;
}

// Writes out every waiting message in the calling thread, oldest first.
void drain(RunQueue &queue)
{
    while (queue.size() > 0) {
        try {
            queue.run(-1);
        } catch (const QueueInterrupted &) {
            // An interruption the thread never saw: it had ended already.
        } catch (const std::exception &) {
            // The item that threw is out of the queue; go on with the rest.
        }
    }
}

// Blocks of short messages whose lines were written, kept for the next
// lines. A line's block is made on the logging thread and released on the
// log thread: through the allocator, both cores would take the lock of the
// same arena for every line. The log thread pushes a released block on
// gReturnedBlocks; a producer, holding the output mutex, takes that whole
// stack at once when its spares run out.
struct SpareBlock {
    SpareBlock *next;
};
// Written by the log thread for every line: on a cache line of its own, which
// the producers' variables beside it would otherwise share and lose to the
// log thread's core at every line.
struct alignas(64) ReturnedBlocks {
    std::atomic<SpareBlock *> head{nullptr};
};
ReturnedBlocks gReturnedBlocks;
SpareBlock *gSpareBlocks = nullptr; // guarded by the output mutex

void returnBlock(void *block)
{
    SpareBlock *spare = static_cast<SpareBlock *>(block);
    spare->next = gReturnedBlocks.head.load(std::memory_order_relaxed);
    while (!gReturnedBlocks.head.compare_exchange_weak(spare->next, spare, std::memory_order_release,
                                                       std::memory_order_relaxed)) {
    }
}

// Under the output mutex; null when no block is spare.
void *takeSpareBlock()
{
    if (!gSpareBlocks)
        gSpareBlocks = gReturnedBlocks.head.exchange(nullptr, std::memory_order_acquire);
    SpareBlock *spare = gSpareBlocks;
    if (spare)
        gSpareBlocks = spare->next;
    return spare;
}

// Under the output mutex, with no line left in flight.
void releaseSpareBlocks()
{
    for (SpareBlock *list : {gSpareBlocks, gReturnedBlocks.head.exchange(nullptr, std::memory_order_acquire)}) {
        while (list) {
            SpareBlock *next = list->next;
            ::operator delete(list);
            list = next;
        }
    }
    gSpareBlocks = nullptr;
}

int configuredQueueSize()
{
    std::string value = lookupProperty("logger.queue.size");
    return value.empty() ? DEFAULT_QUEUE_SIZE : atoi(value.c_str());
}

} // namespace

// One block holds a line: the shared-pointer count first, in the BLOCK_HEAD
// bytes before the message, then the message, then its text. The allocator
// boost asks for the count's room hands out the block the message already
// lives in, and frees it, once the message is destroyed, back to the spare
// blocks (recycling) or to the heap. Made this way, rather than by
// boost::allocate_shared, a line's pointer is built without a locked
// instruction: allocate_shared copies the count once more and drops the
// copy, two atomic updates of a block that, recycled, was last written by
// the log thread's core.
const size_t BLOCK_HEAD = 40;

template <class T> class QueuedMessage::Allocator {
public:
    typedef T value_type;

    // The block's address with whether it is recycled in its lowest bit,
    // which an allocation's alignment leaves clear: boost keeps a copy of
    // the allocator in the count's room.
    Allocator(char *block, bool recycling) : m_block(reinterpret_cast<uintptr_t>(block) | recycling) {}
    template <class U> Allocator(const Allocator<U> &other) : m_block(other.m_block) {}

    T *allocate(size_t count)
    {
        static_assert(sizeof(T) <= BLOCK_HEAD && alignof(T) <= alignof(QueuedMessage), "the count fits the head");
        (void)count; // boost asks for one count
        return reinterpret_cast<T *>(m_block & ~uintptr_t(1));
    }
    void deallocate(T *block, size_t)
    {
        if (m_block & 1)
            returnBlock(block);
        else
            ::operator delete(block);
    }

    template <class U> bool operator==(const Allocator<U> &other) const { return m_block == other.m_block; }
    template <class U> bool operator!=(const Allocator<U> &other) const { return !(*this == other); }

    uintptr_t m_block;
};

// Ends a message in place; its block is the allocator's to free.
struct QueuedMessage::Destroy {
    void operator()(QueuedMessage *message) const { message->~QueuedMessage(); }
};

QueuedMessage::QueuedMessage(int priority, char *text) : m_priority(priority), m_text(text) {}

QueuedMessagePtr QueuedMessage::create(int priority, const char *format, va_list arguments)
{
    return make(priority, format, arguments, false);
}

QueuedMessagePtr QueuedMessage::make(int priority, const char *format, va_list arguments, bool recycling)
{
    static_assert(BLOCK_HEAD % alignof(QueuedMessage) == 0, "the message is aligned behind the head");
    char expanded[TEXT_CAPACITY];
    va_list copy;
    va_copy(copy, arguments);
    // The length of the whole expansion, of which the buffer holds what
    // fits; -1 when there is nothing sensible to show.
    int length = vsnprintf(expanded, sizeof expanded, format, copy);
    va_end(copy);
    if (length < 0) {
        expanded[0] = '\0';
        length = 0;
    }
    size_t size = std::min<size_t>(length, sizeof expanded - 1) + 1;
    recycling = recycling && size <= RECYCLED_TEXT_SIZE;
    char *block = recycling ? static_cast<char *>(takeSpareBlock()) : nullptr;
    if (!block)
        block = static_cast<char *>(
            ::operator new(BLOCK_HEAD + sizeof(QueuedMessage) + (recycling ? RECYCLED_TEXT_SIZE : size)));
    char *text = block + BLOCK_HEAD + sizeof(QueuedMessage);
    memcpy(text, expanded, size);
    QueuedMessage *message = ::new (block + BLOCK_HEAD) QueuedMessage(priority, text);
    // Nothing here can fail: the count's room is the block's head.
    return QueuedMessagePtr(message, Destroy(), Allocator<QueuedMessage>(block, recycling));
}

void QueuedMessage::run()
{
    syslog(m_priority, "%s", m_text);
}

bool queueLogLine(int priority, const char *format, va_list arguments)
{
    RunQueue *queue = gLogQueue;
    if (!queue)
        return false;
    // Called with the output mutex held: the message may take a spare block.
    QueueAblePtr message = QueuedMessage::make(priority, format, arguments, true);
    try {
        queue->add(std::move(message));
    } catch (const std::out_of_range &full) {
        // The line being logged is lost. When the warning will be written,
        // the newest queued line makes room for it, so the reader learns
        // where lines went missing.
        if (gDropReporter && gDropReporter->isEnabled(LEVEL_ERROR)) {
            queue->removeNewest();
            // Comes back here through the recursive output mutex and takes
            // the place just freed.
            gDropReporter->log(LEVEL_ERROR,
                               "Warning: Norvalex logger dropping messages:(%s) Please insure syslog is running "
                               "correctly or increase the value of %s in quillmesh.conf.",
                               full.what(), "logger.queue.size");
        }
        usleep(10000);
    }
    return true;
}

void Logger::startQueue(const LoggerPtr &reporter)
{
    ScopedLock control(gQueueControlMutex.get());
    {
        ScopedLock output(outputMutex());
        if (gLogQueue || gLogThread)
            return;
    }
    // Read outside the output mutex: a load of the properties store holds
    // the store's lock and logs.
    int size = configuredQueueSize();
    if (size < 1) {
        if (reporter && reporter->isEnabled(LEVEL_WARN))
            reporter->log(LEVEL_WARN, "LogQueue disabled.  Recommended for debugging only.");
        return;
    }
    if (reporter && reporter->isEnabled(LEVEL_DEBUG))
        reporter->log(LEVEL_DEBUG, "starting background log thread");
    LoggerPtr dropReporter = getLogger("log");
    unsigned long capacity = static_cast<unsigned long>(size);
    if (dropReporter->effectiveLevel() < LEVEL_INFO)
        capacity = std::min<unsigned long>(4 * capacity, UINT_MAX);
    // Lines never wait for one another, and the one log thread takes them
    // in batches. Once woken it lets them gather for a moment, so that a
    // burst of lines wakes it once instead of every few lines, and the
    // logging thread adds to the queue without the log thread's core
    // taking the queue from it line by line.
    RunQueue *queue =
        new RunQueue(static_cast<unsigned int>(capacity), true, RunQueue::kMaxBatch, GATHER_MICROSECONDS);
    Thread *thread = new Thread;
    {
        ScopedLock output(outputMutex());
        gQueueLogLine = queueLogLine;
        gLogQueue = queue;
        gLogThread = thread;
        gDropReporter = dropReporter.get();
    }
    try {
        thread->start("com.norvalex.logger", logThreadBody, 0);
    } catch (...) {
        // No thread will drain the queue: take it out again and write what
        // was queued meanwhile directly.
        {
            ScopedLock output(outputMutex());
            gLogQueue = nullptr;
            gLogThread = nullptr;
            gDropReporter = nullptr;
            drain(*queue);
            releaseSpareBlocks();
        }
        delete queue;
        delete thread;
        throw;
    }
}

void Logger::stopQueue(const LoggerPtr &reporter)
{
    ScopedLock control(gQueueControlMutex.get());
    RunQueue *queue;
    Thread *thread;
    {
        ScopedLock output(outputMutex());
        queue = gLogQueue;
        thread = gLogThread;
    }
    if (queue)
        queue->interrupt();
    if (thread)
        thread->join();
    if (queue || thread) {
        ScopedLock output(outputMutex());
        gLogQueue = nullptr;
        gLogThread = nullptr;
        gDropReporter = nullptr;
        // Every line queued so far is written before any later line, which
        // now goes straight to syslog.
        if (queue)
            drain(*queue);
        releaseSpareBlocks();
    }
    delete queue;
    delete thread;
    if (reporter && reporter->isEnabled(LEVEL_DEBUG))
        reporter->log(LEVEL_DEBUG, "stopped background log thread");
}

RunQueue *Logger::logQueue()
{
    ScopedLock output(outputMutex());
    return gLogQueue;
}

} // namespace hlx
