#pragma once
// A row crash-loops while it has exited by itself 3 or more times within 5
// minutes. The status column and the metrics both say so, from the same
// rule; time is the kTick events' seconds.
#include <array>
#include <cstddef>
#include <cstdint>

class ExitWindow {
 public:
  static constexpr std::uint32_t kSeconds = 300;
  static constexpr std::size_t kExits = 3;

  void Exited(std::uint32_t now) {
    for (std::size_t i = 0; i + 1 < kExits; ++i) last_[i] = last_[i + 1];
    last_[kExits - 1] = now;
    if (count_ < kExits) ++count_;
  }
  bool Looping(std::uint32_t now) const { return count_ == kExits && now - last_[0] < kSeconds; }

 private:
  std::array<std::uint32_t, kExits> last_{};  // the latest exits' times, oldest first
  std::size_t count_ = 0;
};
