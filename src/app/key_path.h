// A registry key path held on the heap: the roots of a platform family and each adapter's
// parameter key. Default-constructed it is empty and holds no memory, so the adapter table
// of 100 records costs nothing in the executable image.
#pragma once

#include <cstddef>

namespace korvane {

class KeyPath {
 public:
  constexpr KeyPath() = default;
  KeyPath(const char* text);  // NOLINT(google-explicit-constructor): built from literals
  KeyPath(const KeyPath& other);
  KeyPath(KeyPath&& other) noexcept;
  KeyPath& operator=(const KeyPath& other);
  KeyPath& operator=(KeyPath&& other) noexcept;
  KeyPath& operator=(const char* text);
  ~KeyPath();

  // The path as a NUL-terminated text; "" when empty.
  const char* c_str() const { return text_ != nullptr ? text_ : ""; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void clear() { Assign(nullptr, 0, nullptr, 0); }

  KeyPath& operator+=(const char* tail);
  friend KeyPath operator+(const KeyPath& head, const char* tail);

 private:
  void Assign(const char* first, std::size_t firstSize, const char* second, std::size_t secondSize);

  char* text_ = nullptr;
  std::size_t size_ = 0;
};

bool operator==(const KeyPath& path, const char* text);

}  // namespace korvane
