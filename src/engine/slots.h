#pragma once
// At most a number of holders of a kind of work at once, the others waiting their turn: the
// update run's downloads (one per connection) and its rebuilds, each taken by any of its workers.
#include <condition_variable>
#include <cstddef>
#include <mutex>

class Slots {
 public:
  explicit Slots(std::size_t count) : free_(count) {}
  Slots(const Slots&) = delete;
  Slots& operator=(const Slots&) = delete;

  // Runs work in a slot and gives back what it gives; the slot is freed however work ends, an
  // exception included, so that no worker waits for a slot that is never given back.
  template <typename Work>
  auto Hold(Work work) {
    {
      std::unique_lock<std::mutex> lock(lock_);
      freed_.wait(lock, [this] { return free_ > 0; });
      --free_;
    }
    struct Release {
      Slots& slots;
      ~Release() {
        std::lock_guard<std::mutex> lock(slots.lock_);
        ++slots.free_;
        slots.freed_.notify_one();
      }
    } release{*this};
    return work();
  }

 private:
  std::mutex lock_;
  std::condition_variable freed_;
  std::size_t free_;
};
