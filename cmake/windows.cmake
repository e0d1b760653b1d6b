# The options of the Windows build: korvane.exe needs system DLLs only, runs on the 80386, and is
# the same bytes from every build of a commit. The targets are in src/platform/win32/ and, for
# the programs the tests run under Wine, in tests/.
enable_language(RC)
include(${CMAKE_SOURCE_DIR}/cmake/source_date.cmake)

# No build path goes into the programs: two builds in different folders are the same.
add_compile_options(
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=>"
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}/=>")

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

# The options of every object that goes into korvane.exe.
function(korvane_product_target target)
  target_compile_options(${target} PRIVATE ${KORVANE_SIZE_OPTIONS} ${KORVANE_LEAN_OPTIONS})
endfunction()
