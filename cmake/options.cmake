# Every option of the build, declared once.
option(KORVANE_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(KORVANE_BENCH "Build the benchmarks under bench/ (see docs/PERFORMANCE.md)" OFF)
option(KORVANE_FUZZ "Build the libFuzzer targets under fuzz/ (clang only)" OFF)
set(KORVANE_WIN64_BUILD "" CACHE PATH "A win64 build directory whose programs the tests run under a 64-bit Wine")
set(KORVANE_WIN32_BUILD "" CACHE PATH "A win32 build directory whose programs the tests run under a 32-bit Wine")
set(KORVANE_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH
    "GoogleTest's source tree, built for Windows into the contract tests")
