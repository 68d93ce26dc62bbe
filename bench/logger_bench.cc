// The same workload against our Logger and against spdlog's asynchronous
// logger with a rotating file sink: producer cost per call with the writer
// keeping up, sustained throughput until every line is on disk, and bytes
// allocated per accepted message after start-up.
//
//   logger [folder]   (default: a new folder below the current one)

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>

#include "logging/logger.h"

// Every allocation of the process passes here; the counts tell the producer
// thread apart from the others.
namespace {
std::atomic<std::uint64_t> g_bytes{0};
std::atomic<std::uint64_t> g_count{0};
std::atomic<std::uint64_t> g_producer_bytes{0};
thread_local bool t_producer = false;

void* counted(std::size_t size) {
  g_bytes.fetch_add(size, std::memory_order_relaxed);
  g_count.fetch_add(1, std::memory_order_relaxed);
  if (t_producer) g_producer_bytes.fetch_add(size, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return counted(size); }
void* operator new[](std::size_t size) { return counted(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

namespace fs = boost::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kRotationSize = 16 * 1024 * 1024;
constexpr std::size_t kKeptFiles = 64;  // enough that no line of a run is removed
constexpr int kLatencyMessages = 200000;
constexpr auto kPace = std::chrono::microseconds(5);
constexpr int kThroughputMessages = 500000;
constexpr int kWarmUp = 1000;
constexpr int kRounds = 9;

class Ours {
 public:
  static constexpr const char* kName = "logger";
  explicit Ours(const fs::path& dir) {
    logger_.start({dir.string(), "bench.vmrsmgr.log", kRotationSize, kKeptFiles + 1, 0});
  }
  void log(const std::string& message) { logger_.log(message); }
  void finish() { logger_.stop(); }

 private:
  vmrsmgr::Logger logger_;
};

class Spd {
 public:
  static constexpr const char* kName = "spdlog";
  explicit Spd(const fs::path& dir)
      : pool_(std::make_shared<spdlog::details::thread_pool>(8192, 1)),
        logger_(std::make_shared<spdlog::async_logger>(
            "bench",
            std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
                (dir / "bench.spdlog.log").string(), kRotationSize, kKeptFiles),
            pool_, spdlog::async_overflow_policy::block)) {
    logger_->set_formatter(std::make_unique<spdlog::pattern_formatter>(
        "%Y%m%dT%H%M%S.%f %v", spdlog::pattern_time_type::local, "\r\n"));
  }
  void log(const std::string& message) { logger_->info(message); }
  // The pool's end waits until its thread has written every queued line.
  void finish() {
    logger_.reset();
    pool_.reset();
  }

 private:
  std::shared_ptr<spdlog::details::thread_pool> pool_;
  std::shared_ptr<spdlog::async_logger> logger_;
};

struct Figures {
  double p50_ns = 0;
  double p99_ns = 0;
  double lines_per_second = 0;
  double bytes_per_message = 0;           // every thread
  double producer_bytes_per_message = 0;  // the producer's own
  std::uint64_t lines_on_disk = 0;
};

std::uint64_t lines_in(const fs::path& dir) {
  std::uint64_t lines = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    lines += static_cast<std::uint64_t>(
        std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
  }
  return lines;
}

struct Allocations {
  std::uint64_t bytes = g_bytes.load();
  std::uint64_t producer = g_producer_bytes.load();
};

template <typename Subject>
Figures run(const fs::path& root, std::size_t message_size) {
  const std::string message(message_size, 'm');
  Figures figures;
  std::vector<std::int64_t> costs(kLatencyMessages);

  const fs::path dir = root / (std::string(Subject::kName) + std::to_string(message_size));
  fs::remove_all(dir);
  fs::create_directories(dir);
  {
    Subject subject(dir);
    for (int i = 0; i < kWarmUp; ++i) subject.log(message);
    const Allocations before;

    // Paced: one call every kPace, so that the writer keeps up.
    auto next = Clock::now();
    for (int i = 0; i < kLatencyMessages; ++i) {
      next += kPace;
      while (Clock::now() < next) {
      }
      const auto start = Clock::now();
      subject.log(message);
      costs[static_cast<std::size_t>(i)] = (Clock::now() - start).count();
    }

    // Flat out, then until the last line is on disk.
    const auto start = Clock::now();
    for (int i = 0; i < kThroughputMessages; ++i) subject.log(message);
    subject.finish();
    const std::chrono::duration<double> took = Clock::now() - start;
    const Allocations after;

    figures.lines_per_second = kThroughputMessages / took.count();
    const double accepted = kLatencyMessages + kThroughputMessages;
    figures.bytes_per_message = static_cast<double>(after.bytes - before.bytes) / accepted;
    figures.producer_bytes_per_message =
        static_cast<double>(after.producer - before.producer) / accepted;
  }
  std::sort(costs.begin(), costs.end());
  const double tick_ns = 1e9 * Clock::period::num / Clock::period::den;
  figures.p50_ns = static_cast<double>(costs[costs.size() / 2]) * tick_ns;
  figures.p99_ns = static_cast<double>(costs[costs.size() * 99 / 100]) * tick_ns;
  figures.lines_on_disk = lines_in(dir);
  fs::remove_all(dir);
  return figures;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct Summary {
  double p50 = 0, p99 = 0, throughput = 0, bytes = 0, producer_bytes = 0;
};

// The median of each figure over the rounds.
Summary summarise(const std::vector<Figures>& rounds, std::uint64_t expected_lines) {
  std::vector<double> p50, p99, throughput, bytes, producer;
  for (const Figures& f : rounds) {
    p50.push_back(f.p50_ns);
    p99.push_back(f.p99_ns);
    throughput.push_back(f.lines_per_second);
    bytes.push_back(f.bytes_per_message);
    producer.push_back(f.producer_bytes_per_message);
    if (f.lines_on_disk != expected_lines) {
      std::cerr << "lines on disk: " << f.lines_on_disk << ", expected " << expected_lines
                << std::endl;
      std::exit(1);
    }
  }
  return {median(p50), median(p99), median(throughput), median(bytes), median(producer)};
}

void print(const char* name, std::size_t size, const Summary& s) {
  std::printf(
      "%-7s %4zu B  producer p50 %7.0f ns  p99 %7.0f ns  throughput %10.0f lines/s  "
      "allocated %8.2f B/msg (producer %.2f B/msg)\n",
      name, size, s.p50, s.p99, s.throughput, s.bytes, s.producer_bytes);
}

}  // namespace

int main(int argc, char* argv[]) {
  t_producer = true;
  const fs::path root = argc > 1 ? fs::path(argv[1]) : fs::current_path() / "logger-bench-files";
  fs::create_directories(root);
  std::printf(
      "one producer; paced every %lld us for %d calls, then %d calls flat out until on disk; "
      "rotation at %llu bytes; medians of %d rounds\n",
      static_cast<long long>(kPace.count()), kLatencyMessages, kThroughputMessages,
      static_cast<unsigned long long>(kRotationSize), kRounds);

  // The less favourable ratio over the message sizes. Each round measures
  // both loggers one after the other, so that a round's ratio compares them
  // under the same load of a shared machine; the median of the rounds'
  // ratios is reported.
  double p50_ratio = 0;
  double throughput_ratio = 1e300;
  const auto expected =
      static_cast<std::uint64_t>(kWarmUp + kLatencyMessages + kThroughputMessages);
  for (const std::size_t size : {std::size_t{40}, std::size_t{200}}) {
    std::vector<Figures> ours, theirs;
    std::vector<double> p50_ratios, throughput_ratios;
    for (int round = 0; round < kRounds; ++round) {
      ours.push_back(run<Ours>(root, size));
      theirs.push_back(run<Spd>(root, size));
      p50_ratios.push_back(ours.back().p50_ns / theirs.back().p50_ns);
      throughput_ratios.push_back(ours.back().lines_per_second / theirs.back().lines_per_second);
    }
    print(Ours::kName, size, summarise(ours, expected));
    print(Spd::kName, size, summarise(theirs, expected));
    p50_ratio = std::max(p50_ratio, median(p50_ratios));
    throughput_ratio = std::min(throughput_ratio, median(throughput_ratios));
  }
  fs::remove_all(root);
  std::printf("logger/spdlog producer_p50 ratio=%.2f throughput ratio=%.2f\n", p50_ratio,
              throughput_ratio);
  return 0;
}
