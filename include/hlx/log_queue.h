// The log queue's work item and its entry for the logger's output step.
// Starting and stopping the queue are Logger::startQueue and
// Logger::stopQueue (hlx/logger.h).
#pragma once

#include "hlx/runqueue.h"

#include <boost/shared_ptr.hpp>

#include <stdarg.h>

namespace hlx {

class QueuedMessage;
typedef boost::shared_ptr<QueuedMessage> QueuedMessagePtr;

// One log line waiting for the background log thread: the syslog priority
// (facility | severity) and the expanded text, at most 511 characters.
class QueuedMessage : public QueueAble {
public:
    static const size_t TEXT_CAPACITY = 512;
    // Room of the recycled blocks of short lines (see the log queue).
    static constexpr size_t RECYCLED_TEXT_SIZE = 160;

    // Expands `format` with `arguments` (the system's own vsnprintf). The
    // message, its text and its shared-pointer count share one block, sized
    // to the text: one allocation per log line.
    static QueuedMessagePtr create(int priority, const char *format, va_list arguments);
    // Writes the text to syslog at the priority.
    void run() override;

    int priority() const { return m_priority; }
    const char *text() const { return m_text; }

private:
    template <class T> class Allocator;
    struct Destroy;
    friend bool queueLogLine(int priority, const char *format, va_list arguments);

    QueuedMessage(int priority, char *text);
    // As create(); `recycling` (only under the output mutex) lets a short
    // line take a spare block of the log queue and give it back when freed.
    static QueuedMessagePtr make(int priority, const char *format, va_list arguments, bool recycling);

    int m_priority;
    // Behind the message in the same block.
    const char *m_text;
};

// For the logger's output step, which holds the output mutex: queues the
// line when the log queue runs, applying the drop policy when it is full.
// False when the queue is off and the caller writes the line itself.
bool queueLogLine(int priority, const char *format, va_list arguments);

// The output step's way to the queue: null until the first
// Logger::startQueue sets it to queueLogLine, under the output mutex. The
// logger names no function of the queue, so a program that never starts one
// links none of the queue's code, nor the C library functions it calls.
extern bool (*gQueueLogLine)(int priority, const char *format, va_list arguments);

} // namespace hlx
