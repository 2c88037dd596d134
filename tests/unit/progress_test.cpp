#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "upload/progress.h"

namespace qel {
namespace {

using namespace std::chrono_literals;

constexpr std::uint64_t MiB = 1024 * 1024;

std::string cells(int done, int of = 30) {
  std::string s;
  for (int i = 0; i < of; ++i) s += i < done ? "\xE2\x96\x88" : "\xE2\x96\x91";
  return s;
}

// Columns of a line on a terminal: one per character here (the cells are narrow).
std::size_t columns(std::string_view line) {
  std::size_t n = 0;
  for (unsigned char c : line) n += (c & 0xC0) != 0x80;
  return n;
}

TEST(Progress, SizesInUnitsOf1024) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "0 B"},
      {1023, "1023 B"},
      {1024, "1.00 KiB"},
      {1536, "1.50 KiB"},
      {MiB - 1, "1.00 MiB"},  // would round to 1024.00 KiB
      {3 * MiB / 2, "1.50 MiB"},
      {20 * MiB, "20.00 MiB"},
      {5ull * 1024 * MiB, "5.00 GiB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(format_binary_size(bytes), text) << bytes;
}

TEST(Progress, TimeLeft) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "0s"}, {59, "59s"}, {60, "1m 0s"}, {65, "1m 5s"}, {3599, "59m 59s"}, {3600, "1h 0m"},
      {7380, "2h 3m"},
  };
  for (const auto& [seconds, text] : cases) EXPECT_EQ(format_eta(seconds), text) << seconds;
}

TEST(Progress, RenderFollowsTheTemplate) {
  EXPECT_EQ(render_progress(5 * MiB, 10 * MiB, 2s), cells(15) + " 5.00 MiB/10.00 MiB 2.50 MiB/s ETA 2s");
  // 1 of 3 bytes fills 10 cells; cells are never rounded up.
  EXPECT_EQ(render_progress(1, 3, 1s), cells(10) + " 1 B/3 B 1 B/s ETA 2s");
  EXPECT_EQ(render_progress(2, 3, 1s), cells(20) + " 2 B/3 B 2 B/s ETA 1s");
  EXPECT_EQ(render_progress(3, 3, 1s), cells(30) + " 3 B/3 B 3 B/s ETA 0s");
  // No time has passed yet: no rate, no estimate.
  EXPECT_EQ(render_progress(1024, 4096, 0s), cells(7) + " 1.00 KiB/4.00 KiB 0 B/s ETA -");
  EXPECT_EQ(render_progress(1 * MiB, 100 * MiB, 1s), cells(0) + " 1.00 MiB/100.00 MiB 1.00 MiB/s ETA 1m 39s");
}

TEST(Progress, ANarrowTerminalGetsAShorterBarThenFewerFields) {
  // 5 of 10 MiB after 2 s: the whole line is 67 columns, and the last column stays free.
  const std::string sizes = " 5.00 MiB/10.00 MiB", rate = " 2.50 MiB/s", eta = " ETA 2s";
  const std::string whole = cells(15) + sizes + rate + eta;
  struct Case {
    std::optional<std::size_t> width;
    std::string line;
  };
  const Case cases[] = {
      {std::nullopt, whole},                      // unknown width: as always
      {200, whole},
      {68, whole},                                // just fits
      {67, cells(14, 29) + sizes + rate + eta},   // the bar gives way first...
      {48, cells(5, 10) + sizes + rate + eta},    // ...down to 10 cells
      {47, cells(8, 16) + sizes + rate},          // then the time left goes
      {40, cells(10, 20) + sizes},                // then the rate
      {29, cells(14, 28)},                        // then the sizes
      {5, cells(2, 4)},
      {1, ""},
      {0, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(render_progress(5 * MiB, 10 * MiB, 2s, c.width), c.line)
        << (c.width ? std::to_string(*c.width) : "unknown");
  }
}

TEST(Progress, TheLineNeverReachesTheLastColumn) {
  const std::chrono::nanoseconds elapsed = 3h;
  for (std::size_t width = 1; width <= 120; ++width) {
    for (const auto& [position, total] : std::vector<std::pair<std::uint64_t, std::uint64_t>>{
             {0, 1}, {1, 3}, {1023 * MiB, 5000ull * 1024 * MiB}, {7, 7}}) {
      const std::string line = render_progress(position, total, elapsed, width);
      EXPECT_LE(columns(line), width - 1) << width << ": " << line;
      if (columns(render_progress(position, total, elapsed)) < width) {
        EXPECT_EQ(line, render_progress(position, total, elapsed)) << "fits whole at " << width;
      }
    }
  }
}

struct FakeScreen {
  std::chrono::nanoseconds now{1h};
  std::vector<std::string> writes;
};

TEST(Progress, DrawsOnlyOnAdvanceAtMostTwentyTimesASecond) {
  FakeScreen screen;
  ProgressBar bar(8 * MiB, [&](std::string_view s) { screen.writes.emplace_back(s); },
                  [&] { return screen.now; });
  screen.now += 10s;
  EXPECT_TRUE(screen.writes.empty()) << "nothing before the first advance";

  screen.now += 2s;
  bar.advance(2 * MiB);
  ASSERT_EQ(screen.writes.size(), 1u);
  EXPECT_EQ(screen.writes[0], "\r" + cells(7) + " 2.00 MiB/8.00 MiB 170.67 KiB/s ETA 36s\x1B[K");

  screen.now += 49ms;
  bar.advance(1 * MiB);
  EXPECT_EQ(screen.writes.size(), 1u) << "within 50 ms of the last draw";

  screen.now += 1ms;
  bar.advance(1 * MiB);
  ASSERT_EQ(screen.writes.size(), 2u);
  EXPECT_NE(screen.writes[1].find(" 4.00 MiB/8.00 MiB "), std::string::npos) << screen.writes[1];

  screen.now += 5s;  // time alone redraws nothing
  EXPECT_EQ(screen.writes.size(), 2u);

  bar.finish();
  ASSERT_EQ(screen.writes.size(), 3u);
  EXPECT_EQ(screen.writes[2], "\r\x1B[K");
  EXPECT_EQ(bar.position(), 8 * MiB);

  bar.advance(1);  // nothing reappears after the end
  bar.finish();
  EXPECT_EQ(screen.writes.size(), 3u);
}

TEST(Progress, EachDrawAsksTheWidthAnew) {
  FakeScreen screen;
  std::optional<std::size_t> width;
  ProgressBar bar(4 * MiB, [&](std::string_view s) { screen.writes.emplace_back(s); },
                  [&] { return screen.now; }, [&] { return width; });
  screen.now += 1s;
  bar.advance(MiB);
  width = 30;  // the terminal was made narrower
  screen.now += 1s;
  bar.advance(MiB);
  width = 100;
  screen.now += 1s;
  bar.advance(MiB);
  bar.finish();
  ASSERT_EQ(screen.writes.size(), 4u);
  EXPECT_EQ(screen.writes[0], "\r" + cells(7) + " 1.00 MiB/4.00 MiB 1.00 MiB/s ETA 3s\x1B[K");
  EXPECT_EQ(screen.writes[1], "\r" + cells(5, 11) + " 2.00 MiB/4.00 MiB\x1B[K");
  EXPECT_EQ(screen.writes[2], "\r" + cells(22) + " 3.00 MiB/4.00 MiB 1.00 MiB/s ETA 1s\x1B[K");
  EXPECT_EQ(screen.writes[3], "\r\x1B[K");
}

TEST(Progress, FinishWithoutAnyDrawWritesNothing) {
  FakeScreen screen;
  ProgressBar bar(100, [&](std::string_view s) { screen.writes.emplace_back(s); },
                  [&] { return screen.now; });
  bar.finish();
  EXPECT_TRUE(screen.writes.empty());
}

TEST(Progress, HiddenBarDrawsNothingAndIsSafeFromManyThreads) {
  // A visible bar on a real clock, advanced by 8 threads at once, and a hidden one.
  std::mutex mutex;
  std::size_t draws = 0;
  ProgressBar visible(8 * 1000, [&](std::string_view) { std::lock_guard l(mutex); ++draws; },
                      steady_progress_clock());
  ProgressBar hidden;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) {
        visible.advance(1);
        hidden.advance(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(visible.position(), 8000u);
  EXPECT_GE(draws, 1u);
  hidden.finish();
  visible.finish();
}

}  // namespace
}  // namespace qel
