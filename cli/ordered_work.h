// SPDX-License-Identifier: MIT
#pragma once
// Items worked on by several threads and taken in their order by the calling thread alone, so that
// what is done with the results never depends on timing. Workers run at most a window ahead of
// the taker, which bounds the memory results hold.

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

template <class Result>
void RunInOrder(std::size_t count, unsigned jobs, const std::function<Result(std::size_t)>& work,
                const std::function<void(std::size_t, Result&)>& take)
{
    if (jobs <= 1 || count <= 1) {
        for (std::size_t i = 0; i < count; ++i) {
            Result result = work(i);
            take(i, result);
        }
        return;
    }
    const std::size_t window = std::size_t(jobs) * 4;
    std::vector<std::optional<Result>> slots(window);
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t next = 0, taken = 0;
    const auto worker = [&] {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return next >= count || next < taken + window; });
            if (next >= count) return;
            const std::size_t index = next++;
            lock.unlock();
            Result result = work(index);
            lock.lock();
            slots[index % window] = std::move(result);
            changed.notify_all();
        }
    };
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < jobs; ++i) threads.emplace_back(worker);
    for (std::size_t i = 0; i < count; ++i) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return slots[i % window].has_value(); });
        Result result = std::move(*slots[i % window]);
        slots[i % window].reset();
        taken = i + 1;
        changed.notify_all();
        lock.unlock();
        take(i, result);
    }
    for (std::thread& thread : threads) thread.join();
}
