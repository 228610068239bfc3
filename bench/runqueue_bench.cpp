// One producer and one worker moving 1,000,000 items through a RunQueue,
// beside the plain std::mutex + std::condition_variable + std::deque queue a
// program would otherwise write. Both hold items by shared pointer and run
// each one, so the difference is the queue itself (the framework mutex with
// its bookkeeping and cancel-state switching, the broadcast per add). Both
// queues are unbounded.
#include "hlx/exceptions.h"
#include "hlx/runqueue.h"
#include "hlx/thread.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

const long ITEMS = 1000000;

class CountingItem : public hlx::QueueAble {
public:
    explicit CountingItem(std::atomic<long> &count) : m_count(count) {}
    void run() override { m_count.fetch_add(1, std::memory_order_relaxed); }

private:
    std::atomic<long> &m_count;
};

void BM_RunQueue(benchmark::State &state)
{
        for (auto _ : state) {
        hlx::RunQueue queue(0, true);
        std::atomic<long> count{0};
        std::thread worker([&queue] {
            try {
                queue.run(0);
            } catch (const hlx::QueueInterrupted &) {
            }
        });
        for (long i = 0; i < ITEMS; ++i) {
            hlx::QueueAblePtr item(new CountingItem(count));
            queue.add(item);
        }
        while (count.load(std::memory_order_relaxed) < ITEMS)
            std::this_thread::yield();
        queue.interrupt();
        worker.join();
    }
    state.SetItemsProcessed(state.iterations() * ITEMS);
}
BENCHMARK(BM_RunQueue)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// The baseline.
void BM_StdQueue(benchmark::State &state)
{
        for (auto _ : state) {
        std::mutex mutex;
        std::condition_variable nonEmpty;
        std::deque<hlx::QueueAblePtr> items;
        bool stopping = false;
        std::atomic<long> count{0};
        std::thread worker([&] {
            for (;;) {
                hlx::QueueAblePtr item;
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    nonEmpty.wait(lock, [&] { return stopping || !items.empty(); });
                    if (items.empty())
                        return;
                    item = items.front();
                    items.pop_front();
                }
                item->run();
            }
        });
        for (long i = 0; i < ITEMS; ++i) {
            hlx::QueueAblePtr item(new CountingItem(count));
            {
                std::lock_guard<std::mutex> lock(mutex);
                items.push_back(item);
            }
            nonEmpty.notify_all();
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        nonEmpty.notify_all();
        worker.join();
        if (count.load() != ITEMS)
            state.SkipWithError("items lost");
    }
    state.SetItemsProcessed(state.iterations() * ITEMS);
}
BENCHMARK(BM_StdQueue)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace

BENCHMARK_MAIN();
