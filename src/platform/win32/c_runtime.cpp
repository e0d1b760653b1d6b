// The C runtime functions korvane.exe calls, and those the compiler emits calls to (memcpy,
// memset), defined in the program itself: it links no C runtime library, so that it imports
// from KERNEL32, USER32 and ADVAPI32 only. A first-release Windows 95 has no msvcrt.dll, and
// its loader would refuse a program that asks for one before the program could say anything.
// Memory comes from the process heap, which every Windows has from the start.
#include <cstddef>

#include "platform/win32/c_runtime.h"
#include "platform/win32/runtime_text.h"
#include "platform/win32/windows_gateway.h"

namespace runtime = korvane::win32::runtime;

namespace {

// The static objects' destructors, registered as their constructors run, and what else calls
// atexit: more than the program has.
constexpr int kExitFunctionCapacity = 64;
runtime::ExitFunction exitFunctions[kExitFunctionCapacity];
int exitFunctionCount = 0;

}  // namespace

void runtime::RunExitFunctions() {
  while (exitFunctionCount > 0) exitFunctions[--exitFunctionCount]();
}

extern "C" {

int atexit(runtime::ExitFunction function) {
  if (function == nullptr || exitFunctionCount == kExitFunctionCapacity) return -1;
  exitFunctions[exitFunctionCount++] = function;
  return 0;
}

std::size_t strlen(const char* text) { return runtime::TextLength(text); }

int strcmp(const char* a, const char* b) { return runtime::CompareTexts(a, b); }

char* strstr(const char* text, const char* token) { return const_cast<char*>(runtime::FindText(text, token)); }

void* memchr(const void* bytes, int value, std::size_t size) {
  return const_cast<void*>(runtime::FindByte(bytes, value, size));
}

void* memcpy(void* target, const void* source, std::size_t size) {
  runtime::CopyBytes(target, source, size);
  return target;
}

void* memset(void* target, int value, std::size_t size) {
  runtime::FillBytes(target, value, size);
  return target;
}

void* malloc(std::size_t size) { return HeapAlloc(GetProcessHeap(), 0, size); }

void free(void* block) {
  if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

// The C runtime's abort ends the process at once with exit code 3; nothing is cleaned up.
[[noreturn]] void abort() { ExitProcess(3); }

}  // extern "C"

// Classes with virtual destructors refer to the global delete even where nothing deletes
// through it; window objects have allocation functions of their own.
void operator delete(void* block) noexcept { free(block); }
void operator delete(void* block, std::size_t) noexcept { free(block); }
