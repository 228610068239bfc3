// hlx::RunQueue: a first-in, first-out queue of work items that worker
// threads execute, and the process-wide registry of named queues.
//
// Producers add() items (hlx::QueueAble, held by shared pointer); a queue at
// capacity refuses with hlx::BufferFullException (also a std::out_of_range).
// An item whose replacesDuplicates() is true replaces the oldest waiting item
// with the same key(). Any thread that calls run() is a worker: it takes the
// oldest item (a batched queue's worker: up to a batch of the oldest), runs
// it without the queue's lock held, and waits for more until its time limit
// passes or interrupt() ends it with hlx::QueueInterrupted (one interruption
// ends one worker, which notices when it next takes items). Items taken no
// longer count towards the capacity. Framework exceptions thrown by an item
// are swallowed (logged at DEBUG on "util.runqueue"); any other exception
// leaves run(), and items the worker had taken but not run go back to the
// front of the queue.
//
// A quiet queue writes no log lines and builds its exceptions with logging
// off, so the log queue never logs through itself.
#pragma once

#include "hlx/common.h"
#include "hlx/mutex.h"

#include <boost/shared_ptr.hpp>

#include <deque>
#include <map>
#include <string>

namespace hlx {

class Runnable {
public:
    virtual void run() = 0;
    virtual ~Runnable();
};

class QueueAble : public Runnable {
public:
    // Whether adding this item drops the oldest waiting item with an equal key.
    virtual bool replacesDuplicates() const { return false; }
    virtual const std::string &key() const { return EMPTY_STRING; }
};

typedef boost::shared_ptr<QueueAble> QueueAblePtr;

namespace Wrapper {

// The lock of a wrapped container, created on first use like the container.
class Base {
public:
    Base() = default;
    ~Base() { m_mutex.destroy(); }
    Base(const Base &) = delete;
    Base &operator=(const Base &) = delete;

    Mutex &mutex() { return m_mutex.get(); }

private:
    LazyMutex m_mutex;
};

// Policy of Check: every access under the container's own lock.
struct Locked {};

template <class Policy, class Wrapped> class Check;

// A container reachable only through a Guard, which holds its lock. The
// Check itself is constant-initialised and has nothing to destroy: the
// container comes from the function it was made with, which creates it on
// first use (a function-local static) and so destroys it at exit only when
// some caller needed it. A program that never touches it runs none of its
// code at start or exit, and it may serve other units' static initialisers.
template <class Wrapped> class Check<Locked, Wrapped> {
public:
    typedef typename Wrapped::Standard Standard;

    explicit constexpr Check(Wrapped &(*contents)()) : m_contents(contents) {}
    Check(const Check &) = delete;
    Check &operator=(const Check &) = delete;

    class Guard {
    public:
        explicit Guard(Check &checked) : Guard(checked.m_contents()) {}
        Standard &operator*() const { return m_container; }
        Standard *operator->() const { return &m_container; }

    private:
        explicit Guard(Wrapped &contents) : m_lock(contents.mutex()), m_container(contents) {}

        ScopedLock m_lock;
        Standard &m_container;
    };

private:
    Wrapped &(*const m_contents)();
};

} // namespace Wrapper

// A standard container combined with the lock of Wrapper::Base.
template <class StandardContainer> class Container : public StandardContainer, public Wrapper::Base {
public:
    typedef StandardContainer Standard;
};

template <class Key, class Value> class Map : public Container<std::map<Key, Value>> {};

class RunQueue {
public:
    typedef Wrapper::Check<Wrapper::Locked, Map<std::string, RunQueue *>> QueueMap;

    // Named queues, ordered by name. Queues still registered at exit are
    // not destroyed.
    static QueueMap gQueues;

    // The queue registered under `name`; with `create`, a new one (of
    // `capacity`, 0 = unbounded) when there is none. Null otherwise. An
    // existing queue keeps its capacity.
    static RunQueue *get(const std::string &name, bool create, unsigned int capacity);
    // Destroys the queue registered under `name` with its waiting items
    // unrun. No worker may still be using it.
    static void remove(const std::string &name);

    // `batch` (1 to kMaxBatch) is the most items a worker takes under one
    // lock when it finds a backlog; it runs them in order without the lock,
    // and the lock then passes between the producers' and the workers'
    // cores once for the lot rather than per item. Only for a queue whose
    // items never wait for one another: items a worker holds are run by
    // that worker alone. A worker leaves a share of the backlog to the
    // workers waiting idle.
    static constexpr unsigned int kMaxBatch = 64;
    //
    // `gatherMicroseconds` (batched queues only; 0: none) lets items gather:
    // a worker that waited for an empty queue and was woken by an item waits
    // up to that long more (on the monotonic clock), or until a quarter of
    // the capacity waits, before it takes any. A burst of items then wakes it
    // once, it takes them in full batches while the producer works on alone,
    // and the items are late by at most that time. Its lock spins a moment
    // before sleeping when a producer finds the worker taking a batch.
    explicit RunQueue(unsigned int capacity = 0, bool quiet = false, unsigned int batch = 1,
                      unsigned int gatherMicroseconds = 0);
    ~RunQueue();
    RunQueue(const RunQueue &) = delete;
    RunQueue &operator=(const RunQueue &) = delete;

    // Appends the item and wakes the workers. Throws hlx::BufferFullException
    // ("runqueue full <count>") when the queue holds `capacity` items; then
    // nothing is queued. Yields the processor once the queue is half full, so
    // a fast producer lets the workers catch up.
    void add(const QueueAblePtr &item);
    // As above, taking the caller's reference over.
    void add(QueueAblePtr &&item);
    // The worker loop. `limit` in seconds: 0 runs until interrupted; a
    // positive limit returns once that many seconds (counted in whole
    // seconds of the clock) have passed or the clock went back; a negative
    // one runs at most one waiting item and never blocks.
    void run(int limit);
    // Ends one worker (the first to notice) with hlx::QueueInterrupted.
    void interrupt();
    // Releases every waiting item unrun.
    void clear();
    // Takes the most recently added item out unrun; empty when none waits.
    QueueAblePtr removeNewest();

    size_t size();
    unsigned int capacity() const { return m_capacity; }
    bool quiet() const { return m_quiet; }

private:
    // Out of the way of add(): the exception is rare.
    [[noreturn]] __attribute__((noinline, cold)) void throwFull(size_t count) const;
    void removeDuplicate(const std::string &key);
    void putBack(QueueAblePtr *items, size_t count);
    void waitForWork(ScopedLock &guard, const struct timespec *deadline);
    void gather(ScopedLock &guard);

    // Oldest first. Declared before the mutex: destroying a queue destroys
    // its mutex, then releases the items.
    std::deque<QueueAblePtr> m_items;
    Mutex m_mutex;
    bool m_interrupted = false;
    // Workers waiting on the condition right now: add() wakes them only
    // when there are any, which saves the wake-up call on a busy queue.
    unsigned int m_waitingWorkers = 0;
    // Workers letting items gather: add() wakes them once m_gathered items wait.
    unsigned int m_gatheringWorkers = 0;
    const unsigned int m_capacity;
    const bool m_quiet;
    const unsigned int m_batch;
    const unsigned int m_gatherMicroseconds;
    const size_t m_gathered;
};

} // namespace hlx
