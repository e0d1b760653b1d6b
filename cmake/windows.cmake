# The Windows build: korvane.exe, linked statically so that it needs system DLLs only, and on
# x86_64 the Win32 programs that the tests run under Wine.
enable_language(RC)
include(${CMAKE_SOURCE_DIR}/cmake/source_date.cmake)

# No build path goes into the programs: two builds in different folders are the same.
# korvane_core was defined before this file: it takes the options as a target.
set(KORVANE_PREFIX_MAP_OPTIONS
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=>"
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}/=>")
add_compile_options(${KORVANE_PREFIX_MAP_OPTIONS})
target_compile_options(korvane_core PRIVATE ${KORVANE_PREFIX_MAP_OPTIONS})

# Small code: every function in a section of its own, so the linker drops what nothing
# calls. Not so for data: given a section each, zero-filled objects such as the adapter table
# land in .data and take their full size in the file.
# No exceptions or run-time type information either: nothing in the utility throws, and
# without them the C++ runtime's unwinder, demangler and type tables stay out. Nothing
# unwinds the stack, so the tables that describe each frame for an unwinder are dead weight
# too. (Not so in the test programs: they use exceptions, which on x86_64 need those tables.)
set(KORVANE_SIZE_OPTIONS -Os -ffunction-sections)
set(KORVANE_LEAN_OPTIONS -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables)
set(KORVANE_STATIC_LINK_OPTIONS -static -static-libgcc -static-libstdc++ -Wl,--gc-sections)
# The i686 product runs on every CPU of its systems' era: Windows 95 runs on an 80386, 98 and
# NT 4.0 on a 486, and none of them has CMOV or the Pentium Pro's other additions, which this
# compiler uses by default. Tuned for the Pentium, the commonest CPU of those machines. Only
# the product: the test programs run on the build machine under Wine, and GoogleTest needs
# the 486's atomic instructions.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  list(APPEND KORVANE_SIZE_OPTIONS -march=i386 -mtune=pentium)
endif()
target_compile_options(korvane_core PRIVATE ${KORVANE_SIZE_OPTIONS} ${KORVANE_LEAN_OPTIONS})

# The platform layer on the real Windows functions; korvane.exe and the contract tests share it.
add_library(korvane_win32 STATIC
  src/platform/win32/win32_registry.cpp
  src/platform/win32/win32_system.cpp
  src/platform/win32/win32_windows.cpp
  src/platform/win32/runtime_text.cpp
)
target_include_directories(korvane_win32 PUBLIC src)
target_compile_options(korvane_win32 PRIVATE ${KORVANE_SIZE_OPTIONS} ${KORVANE_LEAN_OPTIONS})
# The C functions defined there are the program's own, not the compiler's built-ins.
set_source_files_properties(src/platform/win32/c_runtime.cpp PROPERTIES COMPILE_OPTIONS -fno-builtin)

add_executable(korvane WIN32
  src/platform/win32/winmain.cpp
  src/platform/win32/c_runtime.cpp
  src/ui/korvane.rc
  $<TARGET_OBJECTS:korvane_core>
)
target_link_libraries(korvane PRIVATE korvane_win32)
target_compile_options(korvane PRIVATE ${KORVANE_SIZE_OPTIONS} ${KORVANE_LEAN_OPTIONS})
# The resource script is UTF-8 (it says so with #pragma code_page) and finds resource.h and
# the icon next to itself, and the generated version.h in the build tree.
target_include_directories(korvane PRIVATE src src/ui ${CMAKE_BINARY_DIR}/generated)
set_source_files_properties(src/ui/korvane.rc PROPERTIES OBJECT_DEPENDS
  "${CMAKE_SOURCE_DIR}/src/ui/korvane.ico;${CMAKE_SOURCE_DIR}/src/ui/resource.h;${CMAKE_BINARY_DIR}/generated/version.h")
# Our own entry point instead of the C runtime's start-up code (see winmain.cpp); without
# that code nothing would patch an auto-imported reference, so none may be made. On i686 the
# symbol carries the leading underscore of that platform's C names.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(KORVANE_ENTRY _KorvaneStartup)
else()
  set(KORVANE_ENTRY KorvaneStartup)
endif()
# No C runtime library either: c_runtime.cpp defines the few functions the program calls, so
# that it imports from the system's own DLLs only, and an unresolved symbol here is a function
# of a C runtime DLL that must not be called. Nothing comes from the compiler's libraries
# either: they are built for the compiler's default CPU, not for the 80386, so winmain.cpp
# runs the static constructors itself, and a helper routine the code comes to need (64-bit
# division on i686, say) shows as an unresolved symbol rather than as code of a later CPU.
target_link_options(korvane PRIVATE -nostdlib -Wl,--gc-sections -s -Wl,-e,${KORVANE_ENTRY}
                    -Wl,--disable-auto-import)
target_link_libraries(korvane PRIVATE kernel32 user32 advapi32)
# The version, in the PE header as in the VERSIONINFO resource. CMake's link line states an
# image version of its own (0.0, from the target's VERSION, which would also rename the file)
# after the link options; given with the libraries, ours comes later and is the one that holds.
target_link_libraries(korvane PRIVATE
  -Wl,--major-image-version,${PROJECT_VERSION_MAJOR},--minor-image-version,${PROJECT_VERSION_MINOR})
# The linker takes the header's time stamp from SOURCE_DATE_EPOCH: the same for every build of
# one commit.
set_target_properties(korvane PROPERTIES
  CXX_LINKER_LAUNCHER "${CMAKE_COMMAND};-E;env;SOURCE_DATE_EPOCH=${KORVANE_SOURCE_DATE_EPOCH}")
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  # Windows 95 and NT 4.0 refuse a program that asks for a later subsystem or OS version.
  target_link_options(korvane PRIVATE -Wl,--subsystem,windows:4.0 -Wl,--major-os-version,4
                      -Wl,--minor-os-version,0)
endif()

# The programs the tests run under Wine, next to korvane.exe of the same architecture: each
# build runs in a Wine prefix of its own architecture, 64-bit or 32-bit.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|i686)$")
  add_executable(korvane-probe tests/wine/probe.cpp)
  target_link_options(korvane-probe PRIVATE ${KORVANE_STATIC_LINK_OPTIONS})

  # GoogleTest from Debian's source package, built for Windows without threads and linked in.
  # Its project enables C as well: the C compiler of the same MinGW-w64 installation.
  if(NOT CMAKE_C_COMPILER)
    string(REGEX REPLACE "g\\+\\+(-[a-z0-9]+)?$" "gcc\\1" KORVANE_MINGW_C_COMPILER "${CMAKE_CXX_COMPILER}")
    set(CMAKE_C_COMPILER ${KORVANE_MINGW_C_COMPILER})
  endif()
  enable_language(C)
  set(KORVANE_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's source tree")
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  add_subdirectory(${KORVANE_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # The win32 thread model of this compiler has no std::mutex, on which GoogleTest writes the
  # one class that needs it: that class comes from a header of ours instead.
  target_compile_options(gtest PUBLIC -include ${CMAKE_SOURCE_DIR}/tests/contract/mingw_gtest_notification.h)
  # Not our code: its warnings are not ours to fix.
  target_compile_options(gtest PRIVATE -w)
  target_compile_options(gtest_main PRIVATE -w)

  add_executable(korvane_contract_tests
    tests/contract/registry_contract.cpp
    tests/contract/win32_registry_contract.cpp
    src/platform/services.cpp
  )
  target_include_directories(korvane_contract_tests PRIVATE src tests)
  target_link_libraries(korvane_contract_tests PRIVATE korvane_win32 gtest_main)
  target_link_options(korvane_contract_tests PRIVATE ${KORVANE_STATIC_LINK_OPTIONS})
endif()
