#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <numeric>
#include <set>
#include <thread>
#include <vector>

#include "thread_pool.hpp"

using korvel::ThreadPool;

namespace {

// Every index is visited exactly once, whatever the size, grain and pool.
void expect_each_index_once(ThreadPool& pool, size_t n, size_t grain) {
  std::vector<std::atomic<int>> hits(n);
  pool.parallel_for(
      n, [&](size_t i) { hits[i].fetch_add(1); }, grain);
  for (size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << "n=" << n << " i=" << i;
}

// Blocks each body until `parties` distinct threads are inside the loop (or a deadline
// passes); true when they all met, which shows the loop really ran on that many threads.
bool threads_meet(ThreadPool& pool, size_t parties) {
  std::atomic<size_t> arrived{0};
  std::atomic<bool> all_met{true};
  pool.parallel_for(
      parties,
      [&](size_t) {
        arrived.fetch_add(1);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (arrived.load() < parties) {
          if (std::chrono::steady_clock::now() > deadline) {
            all_met = false;
            return;
          }
          std::this_thread::yield();
        }
      },
      1);
  return all_met.load();
}

}  // namespace

TEST(ThreadPoolTest, EveryIndexRunsOnce) {
  ThreadPool pool(3);
  const size_t sizes[] = {0, 1, 2, 7, 64, 1000, 100003};
  for (size_t n : sizes) {
    expect_each_index_once(pool, n, 0);
    expect_each_index_once(pool, n, 1);
    expect_each_index_once(pool, n, 17);
  }
  ThreadPool inline_pool(0);
  expect_each_index_once(inline_pool, 1000, 0);
  expect_each_index_once(ThreadPool::global(), 100003, 0);
}

TEST(ThreadPoolTest, ResultsOfDisjointOutputs) {
  ThreadPool pool(3);
  std::vector<uint64_t> out(50000);
  pool.parallel_for(out.size(), [&](size_t i) { out[i] = static_cast<uint64_t>(i) * i; });
  for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], static_cast<uint64_t>(i) * i);
}

TEST(ThreadPoolTest, WorkersReallyRunInParallel) {
  ThreadPool pool(3);
  EXPECT_TRUE(threads_meet(pool, 4));
  std::mutex mu;
  std::set<std::thread::id> ids;
  bool worker_seen = false;
  pool.parallel_for(
      4,
      [&](size_t) {
        std::lock_guard<std::mutex> lk(mu);
        ids.insert(std::this_thread::get_id());
        worker_seen = worker_seen || ThreadPool::on_worker_thread();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      },
      1);
  EXPECT_GE(ids.size(), 2u);
  EXPECT_TRUE(worker_seen);
  EXPECT_FALSE(ThreadPool::on_worker_thread());
}

TEST(ThreadPoolTest, GlobalPoolUsesTheAvailableCpus) {
  EXPECT_GE(ThreadPool::available_cpus(), 1u);
  EXPECT_EQ(ThreadPool::global().concurrency(), ThreadPool::available_cpus());
  EXPECT_EQ(&ThreadPool::global(), &ThreadPool::global());
}

TEST(ThreadPoolTest, ManySmallCalls) {
  ThreadPool pool(3);
  uint64_t total = 0;
  for (size_t round = 0; round < 20000; ++round) {
    std::atomic<uint64_t> sum{0};
    size_t n = 1 + round % 5;
    pool.parallel_for(
        n, [&](size_t i) { sum.fetch_add(i + 1); }, 1);
    ASSERT_EQ(sum.load(), n * (n + 1) / 2) << "round " << round;
    total += sum.load();
  }
  EXPECT_GT(total, 0u);
}

TEST(ThreadPoolTest, NestedCallsRunInline) {
  ThreadPool pool(3);
  const size_t outer = 16, inner = 300;
  std::vector<std::atomic<int>> hits(outer * inner);
  pool.parallel_for(
      outer,
      [&](size_t i) {
        pool.parallel_for(inner, [&](size_t j) { hits[i * inner + j].fetch_add(1); });
        // A nested call on another pool must not wait for it either.
        ThreadPool::global().parallel_for(2, [](size_t) {});
      },
      1);
  for (auto& h : hits) ASSERT_EQ(h.load(), 1);
}

TEST(ThreadPoolTest, ConcurrentCallersShareOnePool) {
  ThreadPool pool(2);
  std::vector<std::thread> callers;
  std::atomic<uint64_t> grand{0};
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&] {
      for (int round = 0; round < 500; ++round) {
        std::atomic<uint64_t> sum{0};
        pool.parallel_for(100, [&](size_t i) { sum.fetch_add(i); });
        grand.fetch_add(sum.load());
      }
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(grand.load(), 4u * 500u * (99u * 100u / 2u));
}

TEST(ThreadPoolTest, ErrorsComeBackAsValues) {
  ThreadPool pool(3);
  struct Case {
    std::vector<size_t> failing;
    size_t reported;  // SIZE_MAX: success
  };
  const Case cases[] = {
      {{}, SIZE_MAX},
      {{500}, 500},
      {{900, 3, 451}, 3},
      {{0, 999}, 0},
  };
  for (const auto& c : cases) {
    std::atomic<size_t> ran{0};
    korvel::Status st = korvel::parallel_try_for(pool, 1000, [&](size_t i) -> korvel::Status {
      ran.fetch_add(1);
      for (size_t f : c.failing)
        if (f == i) return korvel::SpssError::io("task " + std::to_string(i));
      return korvel::Ok{};
    });
    if (c.reported == SIZE_MAX) {
      EXPECT_TRUE(st.ok());
      EXPECT_EQ(ran.load(), 1000u);
    } else {
      ASSERT_FALSE(st.ok());
      EXPECT_EQ(st.error().message(), "I/O error: task " + std::to_string(c.reported));
    }
  }
}

TEST(ThreadPoolTest, FirstErrorKeepsLowestIndex) {
  korvel::FirstError first;
  EXPECT_FALSE(first.failed_before(5));
  first.record(7, korvel::SpssError::zlib("seven"));
  first.record(9, korvel::SpssError::zlib("nine"));
  first.record(2, korvel::SpssError::zlib("two"));
  EXPECT_TRUE(first.failed_before(3));
  EXPECT_FALSE(first.failed_before(2));
  korvel::Status st = std::move(first).status();
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().detail(), "two");
}

namespace {

// Runs `child` in a forked process and expects it to exit 0 within the deadline; a hung child
// is killed (and also kills itself through alarm).
void expect_child_succeeds(int (*child)(), int deadline_seconds) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(static_cast<unsigned>(deadline_seconds));
    _exit(child());
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(deadline_seconds + 2);
  int status = 0;
  pid_t got = 0;
  while ((got = waitpid(pid, &status, WNOHANG)) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      FAIL() << "forked child did not finish in time";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(got, pid);
  ASSERT_TRUE(WIFEXITED(status)) << "child died by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "child reported failure " << WEXITSTATUS(status);
}

int child_uses_global_pool() {
  ThreadPool& pool = ThreadPool::global();
  if (pool.concurrency() != ThreadPool::available_cpus()) return 2;
  std::vector<uint64_t> out(100000);
  pool.parallel_for(out.size(), [&](size_t i) { out[i] = i * 3; });
  for (size_t i = 0; i < out.size(); ++i)
    if (out[i] != i * 3) return 3;
  // The child's pool has real threads again, not one that silently runs inline.
  if (pool.concurrency() > 1 && !threads_meet(pool, 2)) return 4;
  return 0;
}

}  // namespace

TEST(ThreadPoolForkTest, ChildGetsAFreshPool) {
  ThreadPool& pool = ThreadPool::global();
  std::vector<std::atomic<int>> hits(10000);
  pool.parallel_for(hits.size(), [&](size_t i) { hits[i].fetch_add(1); });
  for (auto& h : hits) ASSERT_EQ(h.load(), 1);
  if (pool.concurrency() > 1) {
    ASSERT_TRUE(threads_meet(pool, 2));
  }

  expect_child_succeeds(child_uses_global_pool, 20);

  // The parent's pool is unaffected by the child.
  std::atomic<uint64_t> sum{0};
  ThreadPool::global().parallel_for(1000, [&](size_t i) { sum.fetch_add(i); });
  EXPECT_EQ(sum.load(), 999u * 1000u / 2u);
  EXPECT_EQ(&ThreadPool::global(), &pool);
}

TEST(ThreadPoolForkTest, ForkWhileAnotherThreadRunsLoops) {
  ThreadPool::global();
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> loops{0};
  std::thread busy([&] {
    while (!stop.load()) {
      std::atomic<uint64_t> sum{0};
      ThreadPool::global().parallel_for(256, [&](size_t i) { sum.fetch_add(i); });
      loops.fetch_add(1);
    }
  });
  while (loops.load() < 10) std::this_thread::yield();
  for (int i = 0; i < 5; ++i) expect_child_succeeds(child_uses_global_pool, 20);
  stop = true;
  busy.join();
  EXPECT_GE(loops.load(), 10u);
}
