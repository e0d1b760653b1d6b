#include "platform/win32/runtime_text.h"

// Otherwise the compiler may turn the copy and fill loops back into calls to memcpy and
// memset, which korvane.exe defines on top of them.
#pragma GCC optimize("no-tree-loop-distribute-patterns")

namespace korvane::win32::runtime {

std::size_t TextLength(const char* text) {
  std::size_t length = 0;
  while (text[length] != '\0') ++length;
  return length;
}

int CompareTexts(const char* a, const char* b) {
  const auto* left = reinterpret_cast<const unsigned char*>(a);
  const auto* right = reinterpret_cast<const unsigned char*>(b);
  while (*left != 0 && *left == *right) {
    ++left;
    ++right;
  }
  return static_cast<int>(*left) - static_cast<int>(*right);
}

const char* FindText(const char* text, const char* token) {
  for (;; ++text) {
    std::size_t matched = 0;
    while (token[matched] != '\0' && text[matched] == token[matched]) ++matched;
    if (token[matched] == '\0') return text;
    // The rest of the text is shorter than the token.
    if (text[matched] == '\0') return nullptr;
  }
}

const void* FindByte(const void* bytes, int value, std::size_t size) {
  const auto* at = static_cast<const unsigned char*>(bytes);
  const auto wanted = static_cast<unsigned char>(value);
  for (std::size_t i = 0; i < size; ++i)
    if (at[i] == wanted) return at + i;
  return nullptr;
}

void CopyBytes(void* target, const void* source, std::size_t size) {
  auto* to = static_cast<unsigned char*>(target);
  const auto* from = static_cast<const unsigned char*>(source);
  for (std::size_t i = 0; i < size; ++i) to[i] = from[i];
}

void FillBytes(void* target, int value, std::size_t size) {
  auto* to = static_cast<unsigned char*>(target);
  for (std::size_t i = 0; i < size; ++i) to[i] = static_cast<unsigned char>(value);
}

}  // namespace korvane::win32::runtime
