#pragma once
// A vector with inline storage of fixed capacity. Copies move only the used
// prefix, which keeps copies of a game state cheap however large the capacity.

#include <algorithm>
#include <cstddef>
#include <type_traits>

#include "failure.hpp"

namespace velmar {

template <class T, std::size_t N>
class FixedVec {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  // The storage stays uninitialised: only the first size_ elements are ever read.
  FixedVec() {}
  FixedVec(const FixedVec& other) : size_(other.size_) { std::copy_n(other.data_, size_, data_); }
  ~FixedVec() = default;
  FixedVec& operator=(const FixedVec& other) {
    if (this == &other) return *this;
    size_ = other.size_;
    std::copy_n(other.data_, size_, data_);
    return *this;
  }

  void push_back(const T& value) {
    check_index(size_, N);
    data_[size_++] = value;
  }
  // Appends the elements of [first, last) for which `keep` holds. Each is written to
  // the slot past the end and kept by advancing the count, so that an unpredictable
  // `keep` costs no branch.
  template <class It, class Keep>
  void append_if(It first, It last, Keep keep) {
    std::size_t n = size_;
    for (; first != last; ++first) {
      const bool kept = keep(*first);
      if (n == N) {
        if (kept) check_index(n, N);
        continue;
      }
      data_[n] = *first;
      n += kept;
    }
    size_ = n;
  }
  void erase_at(std::size_t index) {
    check_index(index, size_);
    std::copy(data_ + index + 1, data_ + size_, data_ + index);
    --size_;
  }
  void resize_down(std::size_t n) { size_ = std::min(n, size_); }
  void clear() { size_ = 0; }

  T& at(std::size_t i) {
    check_index(i, size_);
    return data_[i];
  }
  const T& at(std::size_t i) const {
    check_index(i, size_);
    return data_[i];
  }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  static constexpr std::size_t capacity() { return N; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

  friend bool operator==(const FixedVec& a, const FixedVec& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  std::size_t size_ = 0;
  union {
    T data_[N];
  };
};

}  // namespace velmar
