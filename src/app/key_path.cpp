#include "app/key_path.h"

#include <cstdlib>
#include <cstring>

namespace korvane {

namespace {

std::size_t Length(const char* text) { return text != nullptr ? std::strlen(text) : 0; }

}  // namespace

KeyPath::KeyPath(const char* text) { Assign(text, Length(text), nullptr, 0); }

KeyPath::KeyPath(const KeyPath& other) { Assign(other.text_, other.size_, nullptr, 0); }

KeyPath::KeyPath(KeyPath&& other) noexcept : text_(other.text_), size_(other.size_) {
  other.text_ = nullptr;
  other.size_ = 0;
}

KeyPath& KeyPath::operator=(const KeyPath& other) {
  if (this != &other) Assign(other.text_, other.size_, nullptr, 0);
  return *this;
}

KeyPath& KeyPath::operator=(KeyPath&& other) noexcept {
  if (this != &other) {
    std::free(text_);
    text_ = other.text_;
    size_ = other.size_;
    other.text_ = nullptr;
    other.size_ = 0;
  }
  return *this;
}

KeyPath& KeyPath::operator=(const char* text) {
  Assign(text, Length(text), nullptr, 0);
  return *this;
}

KeyPath::~KeyPath() { std::free(text_); }

KeyPath& KeyPath::operator+=(const char* tail) {
  Assign(text_, size_, tail, Length(tail));
  return *this;
}

KeyPath operator+(const KeyPath& head, const char* tail) {
  KeyPath joined;
  joined.Assign(head.text_, head.size_, tail, Length(tail));
  return joined;
}

// Builds the new text before letting go of the old, so either part may lie inside it.
void KeyPath::Assign(const char* first, std::size_t firstSize, const char* second, std::size_t secondSize) {
  const std::size_t size = firstSize + secondSize;
  char* text = nullptr;
  if (size > 0) {
    text = static_cast<char*>(std::malloc(size + 1));
    // Without memory there is no path to go on with: a half-built one could name a key
    // above the one meant, so the run ends here.
    if (text == nullptr) std::abort();
    if (firstSize > 0) std::memcpy(text, first, firstSize);
    if (secondSize > 0) std::memcpy(text + firstSize, second, secondSize);
    text[size] = '\0';
  }
  std::free(text_);
  text_ = text;
  size_ = size;
}

bool operator==(const KeyPath& path, const char* text) { return std::strcmp(path.c_str(), text) == 0; }

}  // namespace korvane
