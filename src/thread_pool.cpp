#include "thread_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>

namespace korvel {

namespace {

// > 0 while this thread runs a loop body (as a worker or as a participating caller): a
// parallel_for from there runs inline instead of waiting for threads that may be busy with
// the very loop that made the call.
thread_local int t_loop_depth = 0;
thread_local bool t_is_worker = false;

// The process-wide pool. Never destroyed: at exit its threads just stay parked, and after
// fork the child's copy is abandoned (see on_fork_child).
std::atomic<ThreadPool*> g_pool{nullptr};
std::atomic<pid_t> g_pool_pid{0};
std::mutex g_create_mu;
bool g_atfork_registered = false;  // guarded by g_create_mu

void on_fork_prepare() {
  g_create_mu.lock();
}
void on_fork_parent() {
  g_create_mu.unlock();
}
void on_fork_child() {
  // The inherited pool's threads do not exist here and its mutexes may be held by them: leave
  // the object untouched (leaked) and let the next use build a fresh pool.
  g_pool.store(nullptr, std::memory_order_relaxed);
  g_pool_pid.store(0, std::memory_order_relaxed);
  t_loop_depth = 0;
  t_is_worker = false;
  g_create_mu.unlock();
}

}  // namespace

ThreadPool::ThreadPool(size_t workers) : workers_(workers) {}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = true;
  }
  work_cv_.notify_all();
  for (auto& t : threads_) t.join();
}

size_t ThreadPool::available_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<size_t>(n);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

ThreadPool& ThreadPool::global() {
  pid_t pid = getpid();
  ThreadPool* p = g_pool.load(std::memory_order_acquire);
  if (p != nullptr && g_pool_pid.load(std::memory_order_relaxed) == pid) return *p;
  std::lock_guard<std::mutex> lk(g_create_mu);
  if (!g_atfork_registered) {
    pthread_atfork(on_fork_prepare, on_fork_parent, on_fork_child);
    g_atfork_registered = true;
  }
  p = g_pool.load(std::memory_order_acquire);
  // A pool inherited through a fork that bypassed the handlers belongs to the parent: it is
  // abandoned like one the handler dropped.
  if (p == nullptr || g_pool_pid.load(std::memory_order_relaxed) != pid) {
    p = new ThreadPool(available_cpus() - 1);
    g_pool_pid.store(pid, std::memory_order_relaxed);
    g_pool.store(p, std::memory_order_release);
  }
  return *p;
}

bool ThreadPool::on_worker_thread() {
  return t_is_worker;
}

void ThreadPool::start_workers() {
  // Workers block every signal, so that signals keep going to the application's threads.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  threads_.reserve(workers_);
  for (size_t i = 0; i < workers_; ++i) {
    try {
      threads_.emplace_back([this] { worker_main(); });
    } catch (...) {
      break;  // fewer threads: the caller still completes every loop
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void ThreadPool::drain(Job& job) {
  for (;;) {
    size_t begin = job.next.fetch_add(job.grain, std::memory_order_relaxed);
    if (begin >= job.n) return;
    job.fn(job.ctx, begin, std::min(job.n, begin + job.grain));
  }
}

void ThreadPool::worker_main() {
  t_is_worker = true;
  t_loop_depth = 1;  // everything a worker runs is a loop body
  uint64_t seen = 0;
  std::unique_lock<std::mutex> lk(mu_);
  for (;;) {
    work_cv_.wait(lk, [&] { return stop_ || (job_ != nullptr && generation_ != seen); });
    if (stop_) return;
    seen = generation_;
    Job* job = job_;
    ++job_users_;
    lk.unlock();
    drain(*job);
    lk.lock();
    if (--job_users_ == 0) done_cv_.notify_all();
  }
}

void ThreadPool::run(size_t n, size_t grain, RangeFn fn, void* ctx) {
  if (n == 0) return;
  auto inline_run = [&] {
    ++t_loop_depth;
    fn(ctx, 0, n);
    --t_loop_depth;
  };
  if (workers_ == 0 || n == 1 || t_loop_depth > 0) return inline_run();
  std::unique_lock<std::mutex> submit(submit_mu_, std::try_to_lock);
  if (!submit.owns_lock()) return inline_run();  // another thread's loop has the pool

  if (grain == 0) grain = std::max<size_t>(1, n / (concurrency() * 8));
  Job job{fn, ctx, n, grain};
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (threads_.empty()) start_workers();
    job_ = &job;
    ++generation_;
  }
  work_cv_.notify_all();
  ++t_loop_depth;
  drain(job);
  --t_loop_depth;
  // Every index has been taken; wait for the workers still running theirs. Clearing job_ in
  // the same critical section keeps late workers from entering a finished loop.
  std::unique_lock<std::mutex> lk(mu_);
  done_cv_.wait(lk, [&] { return job_users_ == 0; });
  job_ = nullptr;
}

void FirstError::record(size_t index, SpssError error) {
  std::lock_guard<std::mutex> lk(mu_);
  if (index < first_index_.load(std::memory_order_relaxed)) {
    error_ = std::move(error);
    first_index_.store(index, std::memory_order_relaxed);
  }
}

Status FirstError::status() && {
  std::lock_guard<std::mutex> lk(mu_);
  if (error_) return std::move(*error_);
  return Ok{};
}

}  // namespace korvel
