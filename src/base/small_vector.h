// SmallVector: a vector of plain records holding its first N in place and
// the rest on the heap. Element access is a bare pointer index (checked by
// assert only), for the few short vectors filled on every call of a hot path,
// where a checked container's size decoding costs more than the work.
//
// Growth doubles the size written (or takes what is asked, when more), and
// builds the larger buffer before letting go of the old one, so a failed
// allocation throws std::bad_alloc and leaves the vector as it was.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace velmora {

template <typename T, std::size_t N>
class SmallVector {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                "elements are copied and dropped as bytes");
  static_assert(N > 0);

 public:
  using value_type = T;
  using size_type = std::size_t;
  using iterator = T*;
  using const_iterator = const T*;

  SmallVector() = default;
  // `n` value-initialized elements.
  explicit SmallVector(std::size_t n) { resize(n); }
  SmallVector(const SmallVector& o) { assign_from(o); }
  SmallVector(SmallVector&& o) noexcept { take(o); }
  SmallVector& operator=(const SmallVector& o) {
    if (this != &o) assign_from(o);
    return *this;
  }
  SmallVector& operator=(SmallVector&& o) noexcept {
    if (this != &o) {
      release();
      take(o);
    }
    return *this;
  }
  ~SmallVector() { release(); }

  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] std::size_t capacity() const { return cap_; }
  [[nodiscard]] bool empty() const { return size_ == 0; }
  [[nodiscard]] static constexpr std::size_t max_size() { return std::allocator_traits<std::allocator<T>>::max_size(std::allocator<T>()); }

  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](std::size_t i) {
    assert(i < size_);
    return data_[i];
  }
  const T& operator[](std::size_t i) const {
    assert(i < size_);
    return data_[i];
  }
  T& back() {
    assert(size_ != 0);
    return data_[size_ - 1];
  }
  const T& back() const {
    assert(size_ != 0);
    return data_[size_ - 1];
  }
  iterator begin() { return data_; }
  iterator end() { return data_ + size_; }
  const_iterator begin() const { return data_; }
  const_iterator end() const { return data_ + size_; }

  void push_back(const T& v) {
    if (size_ == cap_) [[unlikely]] {
      const T copy = v;  // `v` may live in the buffer that growth drops
      grow(1);
      data_[size_++] = copy;
      return;
    }
    data_[size_++] = v;
  }
  // Built in place, so a record written field by field is not read back
  // whole.
  template <typename... Args>
  T& emplace_back(Args&&... args) {
    if (size_ == cap_) [[unlikely]] {
      const T made(std::forward<Args>(args)...);
      grow(1);
      data_[size_] = made;
      return data_[size_++];
    }
    T* at = ::new (static_cast<void*>(data_ + size_)) T(std::forward<Args>(args)...);
    ++size_;
    return *at;
  }
  // New elements are value-initialized.
  void resize(std::size_t n) {
    if (n > cap_) grow(n - size_);
    for (std::size_t i = size_; i < n; ++i) ::new (static_cast<void*>(data_ + i)) T();
    size_ = n;
  }
  // Room for `n` in all, exactly.
  void reserve(std::size_t n) {
    if (n > cap_) reallocate(n);
  }
  void clear() { size_ = 0; }
  // Inserts [first, last) (which must not point into this vector) before `pos`.
  template <std::forward_iterator It>
  iterator insert(const_iterator pos, It first, It last) {
    const auto at = static_cast<std::size_t>(pos - data_);
    const auto n = static_cast<std::size_t>(std::distance(first, last));
    if (n > cap_ - size_) grow(n);
    std::memmove(static_cast<void*>(data_ + at + n), data_ + at, (size_ - at) * sizeof(T));
    std::uninitialized_copy(first, last, data_ + at);
    size_ += n;
    return data_ + at;
  }

 private:
  [[nodiscard]] bool is_inline() const { return data_ == inline_data(); }
  T* inline_data() { return std::launder(reinterpret_cast<T*>(inline_)); }
  const T* inline_data() const { return std::launder(reinterpret_cast<const T*>(inline_)); }

  // Room for `more` past the size: twice the size, or the size and `more`
  // when that is larger.
  [[gnu::noinline]] void grow(std::size_t more) {
    if (more > max_size() - size_) throw std::length_error("SmallVector is too long");
    const std::size_t twice = size_ > max_size() / 2 ? max_size() : 2 * size_;
    reallocate(std::max(twice, size_ + more));
  }
  void reallocate(std::size_t cap) {
    T* fresh = std::allocator<T>().allocate(cap);  // throws before anything changes
    if (size_ != 0) std::memcpy(static_cast<void*>(fresh), data_, size_ * sizeof(T));
    release();
    data_ = fresh;
    cap_ = cap;
  }
  void release() {
    if (!is_inline()) std::allocator<T>().deallocate(data_, cap_);
  }
  // Copies `o` in; on failure this vector is as it was.
  void assign_from(const SmallVector& o) {
    if (o.size_ > cap_) {
      T* fresh = std::allocator<T>().allocate(o.size_);
      release();
      data_ = fresh;
      cap_ = o.size_;
    }
    if (o.size_ != 0) std::memcpy(static_cast<void*>(data_), o.data_, o.size_ * sizeof(T));
    size_ = o.size_;
  }
  // Takes `o`'s elements (its buffer, when on the heap) into this vector,
  // whose buffer is released; `o` is left empty and in place.
  void take(SmallVector& o) {
    if (o.is_inline()) {
      data_ = inline_data();
      cap_ = N;
      if (o.size_ != 0) std::memcpy(static_cast<void*>(data_), o.data_, o.size_ * sizeof(T));
    } else {
      data_ = o.data_;
      cap_ = o.cap_;
      o.data_ = o.inline_data();
      o.cap_ = N;
    }
    size_ = o.size_;
    o.size_ = 0;
  }

  T* data_ = inline_data();
  std::size_t size_ = 0;
  std::size_t cap_ = N;
  alignas(T) unsigned char inline_[N * sizeof(T)];
};

}  // namespace velmora
