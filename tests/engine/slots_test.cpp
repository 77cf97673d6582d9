#include "engine/slots.h"

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

// Eight workers through two slots: never more than two inside at once, and a work that throws
// gives its slot back, so that every later work still gets one.
TEST(Slots, HoldAtMostTheirCountAtOnceAndAreFreedByAnException) {
  Slots slots(2);
  std::atomic<int> inside{0}, most{0}, done{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < 8; ++w) {
    workers.emplace_back([&, w] {
      for (int i = 0; i < 20; ++i) {
        try {
          const int result = slots.Hold([&] {
            const int now = ++inside;
            int seen = most.load();
            while (now > seen && !most.compare_exchange_weak(seen, now)) {
            }
            // Each holder waits a little for a second one, so that the slots are full whatever
            // the scheduler does, and stays a moment: a third one would be seen.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
            while (inside.load() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            --inside;
            if ((w + i) % 5 == 0) throw std::runtime_error("a failed download");
            return 1;
          });
          done += result;
        } catch (const std::runtime_error&) {
        }
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(most.load(), 2);
  EXPECT_EQ(done.load(), 8 * 20 - 32);
}
