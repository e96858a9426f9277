// The process-wide data-parallel pool: a few std::threads, started on first use, that run
// parallel_for loops together with the calling thread.
//
// - Sized from the CPUs the process may run on (sched_getaffinity): that many threads take
//   part in a loop, the caller included.
// - Work is handed out in chunks through an atomic index, so uneven tasks balance out.
// - A call made from inside a loop body (nested) or while another thread's loop occupies the
//   pool runs inline on the calling thread; neither can deadlock.
// - After fork() the child drops the inherited pool without touching it (its threads do not
//   exist there) and builds a fresh one on next use.
// - Bodies must not throw and must not call into Python: workers never hold the interpreter.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "error.hpp"

namespace korvel {

class ThreadPool {
 public:
  // A pool of `workers` threads besides the caller (0 runs everything inline). The threads
  // start on the first loop that needs them.
  explicit ThreadPool(size_t workers);
  // Joins the workers. The process-wide pool is never destroyed.
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // The process-wide pool, created on first use (and again in a forked child).
  static ThreadPool& global();
  // CPUs this process may run on, at least 1.
  static size_t available_cpus();

  // Threads that take part in a loop, the caller included.
  size_t concurrency() const { return workers_ + 1; }

  // Runs body(i) for every i in [0, n), spread over the pool; returns when all are done.
  // `grain` is the number of indexes taken at a time; 0 picks one from n and the pool size.
  template <typename F>
  void parallel_for(size_t n, F&& body, size_t grain = 0) {
    using Body = std::remove_reference_t<F>;
    auto run_range = [](void* ctx, size_t begin, size_t end) {
      Body& b = *static_cast<Body*>(ctx);
      for (size_t i = begin; i < end; ++i) b(i);
    };
    run(n, grain, run_range, const_cast<void*>(static_cast<const void*>(&body)));
  }

  // True on a thread of any ThreadPool.
  static bool on_worker_thread();

 private:
  using RangeFn = void (*)(void* ctx, size_t begin, size_t end);
  struct Job {
    RangeFn fn;
    void* ctx;
    size_t n;
    size_t grain;
    std::atomic<size_t> next{0};
  };

  void run(size_t n, size_t grain, RangeFn fn, void* ctx);
  void start_workers();  // with mu_ held
  void worker_main();
  static void drain(Job& job);

  const size_t workers_;
  std::mutex submit_mu_;  // one loop at a time; others run inline
  std::mutex mu_;
  std::condition_variable work_cv_;
  std::condition_variable done_cv_;
  std::vector<std::thread> threads_;
  Job* job_ = nullptr;       // the loop in progress, guarded by mu_
  uint64_t generation_ = 0;  // bumped for every loop, guarded by mu_
  size_t job_users_ = 0;     // workers inside job_, guarded by mu_
  bool stop_ = false;
};

// parallel_for on the process-wide pool.
template <typename F>
void parallel_for(size_t n, F&& body, size_t grain = 0) {
  ThreadPool::global().parallel_for(n, std::forward<F>(body), grain);
}

// Keeps the error of the lowest-numbered failing task, so that the error a loop reports does
// not depend on scheduling. Safe to call from any thread.
class FirstError {
 public:
  void record(size_t index, SpssError error);
  // True when a task with a lower index has already failed: task `index` may be skipped.
  bool failed_before(size_t index) const {
    return index > first_index_.load(std::memory_order_relaxed);
  }
  Status status() &&;

 private:
  std::atomic<size_t> first_index_{SIZE_MAX};
  std::mutex mu_;
  std::optional<SpssError> error_;
};

// Runs body(i) -> Status for every i in [0, n) on `pool`. Returns the error of the lowest
// failing index; tasks above an index already known to fail may be skipped.
template <typename F>
Status parallel_try_for(ThreadPool& pool, size_t n, F&& body, size_t grain = 0) {
  FirstError first;
  pool.parallel_for(
      n,
      [&](size_t i) {
        if (first.failed_before(i)) return;
        Status s = body(i);
        if (!s.ok()) first.record(i, std::move(s).error());
      },
      grain);
  return std::move(first).status();
}

template <typename F>
Status parallel_try_for(size_t n, F&& body, size_t grain = 0) {
  return parallel_try_for(ThreadPool::global(), n, std::forward<F>(body), grain);
}

}  // namespace korvel
