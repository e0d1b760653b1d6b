// The byte and text routines behind the C runtime functions that korvane.exe defines itself
// (c_runtime.cpp): the utility imports from no C runtime DLL, which the first Windows 95 lacks.
// Each does what the C function of the same meaning does, including its edge cases.
#pragma once

#include <cstddef>

namespace korvane::win32::runtime {

// strlen: the number of bytes before the first zero.
std::size_t TextLength(const char* text);
// strcmp: negative, zero or positive as `a` sorts before, with or after `b`, byte by byte
// as unsigned char.
int CompareTexts(const char* a, const char* b);
// strstr: the first place where `token` occurs in `text`, or null. An empty token is found
// at the start of every text, the empty one included.
const char* FindText(const char* text, const char* token);
// memchr: the first of the `size` bytes at `bytes` that equals `value` as unsigned char, or
// null; never reads past `size` bytes, so a zero in between does not end the search.
const void* FindByte(const void* bytes, int value, std::size_t size);
// memcpy and memset.
void CopyBytes(void* target, const void* source, std::size_t size);
void FillBytes(void* target, int value, std::size_t size);

}  // namespace korvane::win32::runtime
