// The process-wide RGB conversion pool: worker threads named "m2-rgb-<i>", tasks served first in,
// first out. Created once, under its lock, by the first multi-threaded chunk; its worker count is
// fixed by that first creation. It lives until the process ends: it is deliberately never
// destroyed, because joining or destroying running threads during exit would abort the process.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quorvane::m2 {

class RgbPool {
 public:
  /// Starts `n_workers` (at least 1) threads at once. Throws (std::system_error) when a thread
  /// cannot be started; the threads already started are stopped and joined first.
  explicit RgbPool(int64_t n_workers);
  RgbPool(const RgbPool&) = delete;
  RgbPool& operator=(const RgbPool&) = delete;

  int64_t max_workers() const { return static_cast<int64_t>(workers_.size()); }

  /// The operating-system names of the worker threads, in start order.
  std::vector<std::string> thread_names() const;

  /// Tasks queued since the pool was created.
  uint64_t tasks_queued() const;

  /// Queues `task` behind every task queued before it. A task must not throw (an exception that
  /// escapes is dropped so the worker survives); it is destroyed on the worker before the worker
  /// takes the next one.
  void submit(std::function<void()> task);

 private:
  void run(int64_t index);
  void stop_and_join();

  mutable std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> queue_;
  std::vector<std::thread> workers_;
  uint64_t queued_ = 0;
  bool stop_ = false;
};

/// The plain mutex that guards the creation of the pool. Besides lock()/unlock() it knows its
/// owner, so a release by another thread is refused (RuntimeError) instead of being undefined.
class RgbPoolLock {
 public:
  void lock();
  bool try_lock();
  /// Waits at most `timeout`; false when the lock was not taken in time.
  bool try_lock_for(std::chrono::duration<double> timeout);
  void unlock();
  bool locked() const;

 private:
  mutable std::mutex m_;
  std::condition_variable cv_;
  bool held_ = false;
  std::thread::id owner_;
};

/// The lock guarding pool creation (process-wide).
RgbPoolLock& rgb_pool_lock();

/// The process-wide pool, created with `n_workers` (at least 1) threads if it does not exist yet;
/// later calls get the same pool unchanged. Takes rgb_pool_lock() for the check-and-create only.
/// A failed creation propagates and leaves no pool.
RgbPool& rgb_pool(int64_t n_workers);

/// The pool if it has been created, else null.
RgbPool* rgb_pool_current();

}  // namespace quorvane::m2
