// A short list on the stack, spilling to the heap only when it grows long:
// the snapshots taken for every frame and every clock step allocate nothing.
#ifndef ORVALE_PLATFORM_SMALL_LIST_H
#define ORVALE_PLATFORM_SMALL_LIST_H

#include <cstddef>
#include <vector>

namespace hosted::internal {

template <typename T, size_t kInline = 16>
class SmallList {
 public:
  SmallList() = default;
  template <typename Range>
  explicit SmallList(const Range &from) {
    for (const T &v : from) Add(v);
  }
  SmallList(const SmallList &) = delete;
  SmallList &operator=(const SmallList &) = delete;

  void Add(const T &v) {
    if (size_ < kInline) {
      inline_[size_] = v;
    } else {
      if (size_ == kInline) spill_.assign(inline_, inline_ + kInline);
      spill_.push_back(v);
    }
    ++size_;
  }
  const T *begin() const { return size_ <= kInline ? inline_ : spill_.data(); }
  const T *end() const { return begin() + size_; }
  size_t size() const { return size_; }

 private:
  T inline_[kInline]{};
  std::vector<T> spill_;
  size_t size_ = 0;
};

}  // namespace hosted::internal

#endif
