// hlx::Thread: one POSIX thread running a plain function with one long
// argument, plus the framework's process-wide thread knowledge.
//
// Lifecycle: construct (not started) -> start() -> the function runs
// (isRunning()) -> it returns. Independently the thread must be joined
// (join(), stop()) or detached (detach()). Destroying the object neither
// joins, detaches nor cancels; the owner must stop or detach the thread first
// and keep the object alive while the thread may still use it.
//
// Thread::start reads two properties:
//   "hlx.clients.threads.stacksize"  stack size in bytes (atoi; <= 0 keeps the default)
//   "hlx.clients.threads.priority"   "true", "yes" or "1" (any case) ask for SCHED_FIFO
//
// Every failing thread-library or system call throws hlx::SystemException.
#pragma once

#include <pthread.h>

#include <atomic>
#include <string>

namespace hlx {

class Thread {
public:
    typedef long (*Function)(long argument);

    // Whether the process has the thread library (decided on first need).
    // Every mutex and context-tag operation is a no-op when it has not.
    static std::atomic<bool> m_threadSupportKnown;
    static std::atomic<bool> m_threadsSupported;
    // Number of Thread objects alive (changed under the thread-count mutex).
    static std::atomic<int> m_threadsActive;

    Thread();
    virtual ~Thread();
    Thread(const Thread &) = delete;
    Thread &operator=(const Thread &) = delete;

    // Creates the thread, which runs function(argument). name may be null.
    void start(const char *name, Function function, long argument);
    // Waits for the thread; returns at once when already joined or detached,
    // or when the thread was never started.
    void join();
    // Detaches the thread; a later join() returns at once.
    void detach();
    // Asks a running thread to end at its next cancellation point (framework
    // locks hold cancellation off, so it never ends holding one).
    void cancel();
    // cancel() then join().
    void stop();

    const std::string &name() const { return m_name; }
    // True from start() until the function returns or the thread is cancelled.
    bool isRunning() const { return m_running.load(std::memory_order_acquire); }
    bool cancelRequested() const { return m_cancelRequested.load(std::memory_order_relaxed) != 0; }
    pthread_t id() const { return m_id.load(std::memory_order_acquire); }

    // The calling thread's Thread object; null for a thread the framework did not start.
    static Thread *current();
    // Sleeps; true when the whole time elapsed, false when a signal cut it short.
    static bool sleep(long seconds, long nanoseconds);
    static bool sleep(long seconds, long milliseconds, long microseconds, long nanoseconds);
    static void yield();
    // Switch the calling thread's cancelability on (then pass a cancellation point) or off.
    static void enableCancel();
    static void disableCancel();
    // true adds one to m_threadsActive; false sets it to 0.
    static void setActive(bool active);
    // Decides m_threadsSupported on first need and returns it.
    static bool threadsSupported();

protected:
    // Called in the thread when it ends while still running its function
    // (cancellation or pthread_exit).
    virtual void onCancel();

private:
    friend void *ThreadStart(void *thread);
    friend void ThreadCancelCleanup(void *thread);

    std::string m_name;
    std::atomic<bool> m_running{false};
    bool m_joined = false;
    std::atomic<pthread_t> m_id{0};
    Function m_function = nullptr;
    std::atomic<int> m_cancelRequested{0};
    long m_argument = 0;
};

// Entry handed to pthread_create; the argument is the Thread object.
void *ThreadStart(void *thread);
// Destructor of the current-thread key: runs onCancel and clears running.
void ThreadCancelCleanup(void *thread);

} // namespace hlx
