# The Windows build: korvane.exe, linked statically so that it needs system DLLs only.
enable_language(RC)

add_executable(korvane WIN32
  src/platform/win32/win32_registry.cpp
  src/platform/win32/win32_platform.cpp
  src/platform/win32/winmain.cpp
  src/ui/korvane.rc
  $<TARGET_OBJECTS:korvane_core>
)
target_include_directories(korvane PRIVATE src)
set_source_files_properties(src/ui/korvane.rc PROPERTIES OBJECT_DEPENDS
  "${CMAKE_SOURCE_DIR}/src/ui/korvane.ico;${CMAKE_SOURCE_DIR}/src/ui/resource.h")
target_compile_options(korvane_core PRIVATE -ffunction-sections -fdata-sections)
target_compile_options(korvane PRIVATE -ffunction-sections -fdata-sections)
target_link_options(korvane PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--gc-sections -s)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  # Windows 95 and NT 4.0 refuse a program that asks for a later subsystem or OS version.
  target_link_options(korvane PRIVATE -Wl,--subsystem,windows:4.0 -Wl,--major-os-version,4
                      -Wl,--minor-os-version,0)
endif()
set_target_properties(korvane PROPERTIES OUTPUT_NAME korvane)

# Win32 programs for the tests that run under Wine.
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/wine/probe.cpp)
  add_executable(korvane-probe tests/wine/probe.cpp)
  target_link_options(korvane-probe PRIVATE -static -static-libgcc -static-libstdc++)
endif()
