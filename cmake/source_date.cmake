# The time that korvane.exe's PE header states, so that two builds of one commit are the same
# bytes: SOURCE_DATE_EPOCH where the builder sets it, else the date of the commit being built,
# else a constant (a tree without git, such as an unpacked archive). Sets
# KORVANE_SOURCE_DATE_EPOCH, in seconds since 1970.
set(KORVANE_CONSTANT_DATE_EPOCH 1798761600)  # 2027-01-01 00:00:00 UTC

if(DEFINED ENV{SOURCE_DATE_EPOCH} AND "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
  set(KORVANE_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
  set(KORVANE_SOURCE_DATE_ORIGIN "SOURCE_DATE_EPOCH")
else()
  set(KORVANE_SOURCE_DATE_EPOCH ${KORVANE_CONSTANT_DATE_EPOCH})
  set(KORVANE_SOURCE_DATE_ORIGIN "a constant, no git commit found")
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE commitDate
                    RESULT_VARIABLE status OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --absolute-git-dir
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE gitDir
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(status EQUAL 0 AND commitDate MATCHES "^[0-9]+$")
      set(KORVANE_SOURCE_DATE_EPOCH ${commitDate})
      set(KORVANE_SOURCE_DATE_ORIGIN "the commit's date")
      # A new commit or another checkout configures again, so that the stamp follows it.
      if(EXISTS "${gitDir}/logs/HEAD")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${gitDir}/logs/HEAD")
      elseif(EXISTS "${gitDir}/HEAD")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${gitDir}/HEAD")
      endif()
    endif()
  endif()
endif()
message(STATUS "korvane.exe's time stamp: ${KORVANE_SOURCE_DATE_EPOCH}, from ${KORVANE_SOURCE_DATE_ORIGIN}")
