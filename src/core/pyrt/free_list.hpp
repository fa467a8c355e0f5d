// A few freed blocks of one kind, kept for reuse: the objects and frames
// that every await, pop and push makes and drops moments later.
//
// Everything kept here is made and freed with the GIL held, and so is the
// list touched: it needs no lock and no atomics.
#pragma once

#include <cstddef>

namespace vestrel::pyrt {

template <class T, std::size_t N>
class FreeList {
 public:
  // Keeps `item`; false when the list is full (the caller frees it).
  bool put(T item) noexcept {
    if (count_ == N) return false;
    items_[count_++] = item;
    return true;
  }
  // The most recently kept item for which `fits(item)` holds, if any.
  template <class Fits>
  bool take(T &out, Fits &&fits) noexcept {
    for (std::size_t i = count_; i-- > 0;) {
      if (!fits(items_[i])) continue;
      out = items_[i];
      items_[i] = items_[--count_];
      return true;
    }
    return false;
  }
  bool take(T &out) noexcept {
    return take(out, [](const T &) { return true; });
  }

 private:
  T items_[N];
  std::size_t count_ = 0;
};

}  // namespace vestrel::pyrt
