// One producer and one worker moving 1,000,000 items through a RunQueue
// (BM_RunQueue_Ours), beside the plain std::mutex + std::condition_variable
// + std::deque queue a program would otherwise write (BM_RunQueue_Baseline).
// Both make each item the same way, hand it over by move, wake the worker
// after each add and run every item, so the difference is the queue itself:
// the framework mutex with its bookkeeping and cancel-state switching, the
// container, the interruption check. Both queues are unbounded.
//
// "Time" is wall time, "CPU" the CPU time of the whole process (both
// threads). The ratio of Ours to Baseline is the figure to watch; on a loaded
// machine take medians of repetitions, or count instructions:
//     build/bench/runqueue_bench --benchmark_repetitions=9 --benchmark_report_aggregates_only=true
//     valgrind --tool=callgrind --callgrind-out-file=/dev/null build/bench/runqueue_bench --benchmark_filter=BM_RunQueue_Ours
// (the "Collected" total of each filter, divided by the 3,000,000 items).
#include "hlx/exceptions.h"
#include "hlx/runqueue.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace {

const long ITEMS = 1000000;

class CountingItem : public hlx::QueueAble {
public:
    explicit CountingItem(std::atomic<long> &count) : m_count(count) {}
    void run() override { m_count.fetch_add(1, std::memory_order_relaxed); }

private:
    std::atomic<long> &m_count;
};

void BM_RunQueue_Ours(benchmark::State &state)
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
            queue.add(std::move(item));
        }
        while (count.load(std::memory_order_relaxed) < ITEMS)
            std::this_thread::yield();
        queue.interrupt();
        worker.join();
    }
    state.SetItemsProcessed(state.iterations() * ITEMS);
}
BENCHMARK(BM_RunQueue_Ours)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->Iterations(3);

void BM_RunQueue_Baseline(benchmark::State &state)
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
                    item = std::move(items.front());
                    items.pop_front();
                }
                item->run();
            }
        });
        for (long i = 0; i < ITEMS; ++i) {
            hlx::QueueAblePtr item(new CountingItem(count));
            {
                std::lock_guard<std::mutex> lock(mutex);
                items.push_back(std::move(item));
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
BENCHMARK(BM_RunQueue_Baseline)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->Iterations(3);

} // namespace

BENCHMARK_MAIN();
