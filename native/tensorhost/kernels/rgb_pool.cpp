#include "tensorhost/kernels/rgb_pool.h"

#include <pthread.h>

#include <atomic>
#include <cstdio>

#include "tensorhost/host/errors.h"

namespace quorvane::m2 {

namespace {

// Both singletons are created on first use and never destroyed (see rgb_pool.h). A child made by
// fork() has none of the parent's threads, so it starts over with a fresh lock and no pool; the
// parent's objects are left behind untouched.
std::atomic<RgbPool*> g_pool{nullptr};
std::atomic<RgbPoolLock*> g_lock{nullptr};

void after_fork_in_child() {
  g_pool.store(nullptr);
  g_lock.store(new RgbPoolLock);
}

}  // namespace

RgbPool::RgbPool(int64_t n_workers) {
  if (n_workers < 1) n_workers = 1;
  try {
    workers_.reserve(static_cast<size_t>(n_workers));
    for (int64_t i = 0; i < n_workers; ++i) workers_.emplace_back([this, i] { run(i); });
  } catch (...) {
    stop_and_join();
    throw;
  }
}

void RgbPool::stop_and_join() {
  {
    std::lock_guard<std::mutex> g(m_);
    stop_ = true;
  }
  cv_.notify_all();
  for (auto& t : workers_)
    if (t.joinable()) t.join();
}

void RgbPool::run(int64_t index) {
  char name[16];
  std::snprintf(name, sizeof name, "m2-rgb-%lld", static_cast<long long>(index));
  pthread_setname_np(pthread_self(), name);
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> g(m_);
      cv_.wait(g, [this] { return stop_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping
      task = std::move(queue_.front());
      queue_.pop_front();
    }
    try {
      task();
    } catch (...) {
      // Tasks report their own failures; nothing may end a worker.
    }
    task = nullptr;
  }
}

std::vector<std::string> RgbPool::thread_names() const {
  std::vector<std::string> names;
  for (const auto& t : workers_) {
    char buf[64] = {0};
    auto h = const_cast<std::thread&>(t).native_handle();
    if (pthread_getname_np(h, buf, sizeof buf) != 0) buf[0] = '\0';
    names.emplace_back(buf);
  }
  return names;
}

uint64_t RgbPool::tasks_queued() const {
  std::lock_guard<std::mutex> g(m_);
  return queued_;
}

void RgbPool::submit(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> g(m_);
    queue_.push_back(std::move(task));
    ++queued_;
  }
  cv_.notify_one();
}

void RgbPoolLock::lock() {
  std::unique_lock<std::mutex> g(m_);
  cv_.wait(g, [this] { return !held_; });
  held_ = true;
  owner_ = std::this_thread::get_id();
}

bool RgbPoolLock::try_lock() {
  std::lock_guard<std::mutex> g(m_);
  if (held_) return false;
  held_ = true;
  owner_ = std::this_thread::get_id();
  return true;
}

bool RgbPoolLock::try_lock_for(std::chrono::duration<double> timeout) {
  std::unique_lock<std::mutex> g(m_);
  auto wait = std::chrono::duration_cast<std::chrono::steady_clock::duration>(timeout);
  if (!cv_.wait_for(g, wait, [this] { return !held_; })) return false;
  held_ = true;
  owner_ = std::this_thread::get_id();
  return true;
}

void RgbPoolLock::unlock() {
  {
    std::lock_guard<std::mutex> g(m_);
    if (!held_ || owner_ != std::this_thread::get_id())
      throw RuntimeError("cannot release un-acquired lock");
    held_ = false;
    owner_ = std::thread::id();
  }
  cv_.notify_one();
}

bool RgbPoolLock::locked() const {
  std::lock_guard<std::mutex> g(m_);
  return held_;
}

RgbPoolLock& rgb_pool_lock() {
  static const bool registered = [] {
    RgbPoolLock* expected = nullptr;
    auto* fresh = new RgbPoolLock;
    if (!g_lock.compare_exchange_strong(expected, fresh)) delete fresh;
    pthread_atfork(nullptr, nullptr, after_fork_in_child);
    return true;
  }();
  (void)registered;
  return *g_lock.load();
}

RgbPool& rgb_pool(int64_t n_workers) {
  RgbPoolLock& lock = rgb_pool_lock();
  std::lock_guard<RgbPoolLock> g(lock);
  RgbPool* pool = g_pool.load();
  if (!pool) {
    pool = new RgbPool(n_workers);
    g_pool.store(pool);
  }
  return *pool;
}

RgbPool* rgb_pool_current() { return g_pool.load(); }

}  // namespace quorvane::m2
