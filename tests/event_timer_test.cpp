// sd::EventTimer on a real sd-event loop: when its task runs, and that it runs
// as often as asked whatever the task does to its own timer.
#include "sd/event_timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, as the timer's

class EventTimerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(sd_event_new(event_.put()), 0); }

  void runFor(std::chrono::milliseconds duration) {
    auto end = Clock::now() + duration;
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
      sd_event_run(event_.get(), std::chrono::duration_cast<std::chrono::microseconds>(end - now).count());
    }
  }

  // A relative timer counts from the loop's last wake-up (sd_event_now), the
  // moment every handler that starts one was woken at, not from the call.
  Clock::time_point loopNow() {
    uint64_t usec = 0;
    if (sd_event_now(event_.get(), CLOCK_MONOTONIC, &usec) < 0) {
      return Clock::now();
    }
    return Clock::time_point(std::chrono::microseconds(usec));
  }

  sd::EventHandle event_;
};

// The identity run's report delay and the backend's graces are short: a wake-up
// that sd-event coalesced (by up to 250 ms by default) would stretch them.
TEST_F(EventTimerTest, RunsOnceSoonAfterItsDelay) {
  for (auto delay : {5ms, 15ms, 30ms, 50ms}) {
    sd::EventTimer timer(event_.get());
    int runs = 0;
    Clock::time_point ran;
    auto started = loopNow();
    ASSERT_TRUE(timer.start(delay, [&] {
      ++runs;
      ran = Clock::now();
    }));
    runFor(delay + 150ms);
    ASSERT_EQ(runs, 1) << delay.count() << " ms";
    EXPECT_GE(ran - started, delay);
    EXPECT_LT(ran - started, delay + 60ms) << delay.count() << " ms";
  }
}

TEST_F(EventTimerTest, WhatRunsWhateverIsDoneToTheTimer) {
  struct Case {
    const char* name;
    // Starts and handles the timer; each task that runs appends its letter.
    std::function<void(std::unique_ptr<sd::EventTimer>& timer, std::string& ran)> arrange;
    const char* expected;
  };
  const Case cases[] = {
      {"a restart replaces the pending task",
       [](auto& timer, auto& ran) {
         timer->start(10ms, [&] { ran += 'a'; });
         timer->start(10ms, [&] { ran += 'b'; });
       },
       "b"},
      {"cancel drops the task",
       [](auto& timer, auto& ran) {
         timer->start(10ms, [&] { ran += 'a'; });
         timer->cancel();
       },
       ""},
      {"destroying the timer drops the task",
       [](auto& timer, auto& ran) {
         timer->start(10ms, [&] { ran += 'a'; });
         timer.reset();
       },
       ""},
      {"the task may start its own timer again",
       [](auto& timer, auto& ran) {
         timer->start(10ms, [&] {
           ran += 'a';
           timer->start(10ms, [&] { ran += 'b'; });
         });
       },
       "ab"},
      {"the task may destroy its own timer",
       [](auto& timer, auto& ran) {
         timer->start(10ms, [&] {
           ran += 'a';
           timer.reset();
         });
       },
       "a"},
  };
  for (const auto& c : cases) {
    auto timer = std::make_unique<sd::EventTimer>(event_.get());
    std::string ran;
    c.arrange(timer, ran);
    runFor(150ms);
    EXPECT_EQ(ran, c.expected) << c.name;
  }
}

}  // namespace
