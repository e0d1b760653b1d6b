# The Linux build: the hosted platform, korvane-sim, and the tests.

add_library(korvane_hosted STATIC
  src/platform/hosted/reg_node.cpp
  src/platform/hosted/memory_registry.cpp
  src/platform/hosted/machine_files/input_file.cpp
  src/platform/hosted/machine_files/reg_reader.cpp
  src/platform/hosted/machine_files/reg_parser.cpp
  src/platform/hosted/machine_files/reg_values.cpp
  src/platform/hosted/machine_files/reg_writer.cpp
  src/platform/hosted/machine_files/installation_hives.cpp
  src/platform/hosted/machine_files/hive_file.cpp
  src/platform/hosted/machine_files/hive_store.cpp
  src/platform/hosted/machine_files/utf16_data.cpp
  src/platform/hosted/machine_files/safe_file.cpp
  src/platform/hosted/machine_files/whole_file.cpp
  src/platform/hosted/machine_files/file_rules.cpp
  src/platform/hosted/hosted_system.cpp
  src/platform/hosted/hosted_windows.cpp
  src/platform/hosted/screen.cpp
  src/platform/hosted/text_encoding.cpp
  src/platform/hosted/code_page_932_table.cpp
  src/platform/hosted/dialog_templates.cpp
  src/platform/hosted/terminal_render.cpp
  src/platform/hosted/sim_options.cpp
  src/platform/hosted/report.cpp
  src/platform/hosted/hive_machine.cpp
  src/platform/hosted/simulated_machine.cpp
  ${CMAKE_BINARY_DIR}/generated/embedded_files.cpp
)
target_include_directories(korvane_hosted PUBLIC src ${CMAKE_BINARY_DIR}/generated)

# Offline installations' registry hives are read and written through hivex.
find_package(PkgConfig REQUIRED)
pkg_check_modules(HIVEX REQUIRED IMPORTED_TARGET hivex)
target_link_libraries(korvane_hosted PUBLIC korvane_core PRIVATE PkgConfig::HIVEX)

# The resource script (the one definition of the six dialog templates) and the default
# machine are built into korvane-sim.
set(KORVANE_EMBEDDED_FILES
  "kResourceScript=${CMAKE_SOURCE_DIR}/src/ui/korvane.rc"
  "kResourceHeader=${CMAKE_SOURCE_DIR}/src/ui/resource.h"
  "kDefaultMachine=${CMAKE_SOURCE_DIR}/machines/sample-xp.reg"
)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/generated/embedded_files.cpp
  COMMAND ${CMAKE_COMMAND} -DOUTPUT=${CMAKE_BINARY_DIR}/generated/embedded_files.cpp
          "-DFILES=${KORVANE_EMBEDDED_FILES}" -P ${CMAKE_SOURCE_DIR}/cmake/embed_files.cmake
  DEPENDS ${CMAKE_SOURCE_DIR}/cmake/embed_files.cmake
          ${CMAKE_SOURCE_DIR}/src/ui/korvane.rc ${CMAKE_SOURCE_DIR}/src/ui/resource.h
          ${CMAKE_SOURCE_DIR}/machines/sample-xp.reg
  VERBATIM)

add_executable(korvane-sim src/platform/hosted/sim_main.cpp)
target_link_libraries(korvane-sim PRIVATE korvane_hosted)

# cmake --install BUILD --prefix P: the program (its default machine is built in, so it runs
# from any folder), its manual page, and the documents a user reads beside it.
include(GNUInstallDirs)
install(TARGETS korvane-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/docs/korvane-sim.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/report.schema.json
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(EXISTS ${CMAKE_SOURCE_DIR}/LICENSE)
  install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

include(CTest)
if(BUILD_TESTING)
  add_subdirectory(tests)
endif()

# Benchmarks of the hosted machine: built on request, run by hand (see docs/PERFORMANCE.md).
option(KORVANE_BENCH "Build the benchmarks under bench/" OFF)
if(KORVANE_BENCH AND EXISTS ${CMAKE_SOURCE_DIR}/bench/CMakeLists.txt)
  add_subdirectory(bench)
endif()

# libFuzzer targets: a clang build of their own (scripts/fuzz.sh).
option(KORVANE_FUZZ "Build the libFuzzer targets under fuzz/ (clang only)" OFF)
if(KORVANE_FUZZ AND EXISTS ${CMAKE_SOURCE_DIR}/fuzz/CMakeLists.txt)
  add_subdirectory(fuzz)
endif()
