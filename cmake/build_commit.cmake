# PLATEWISE_COMMIT: the commit the build is configured from, for
# platewise --version. In order: a value given with -DPLATEWISE_COMMIT=...;
# the file .platewise-commit at the top of the tree (scripts/package writes it
# into the copy it builds the Debian package from); "git describe" when the
# source directory is the top of a git checkout (CI clones); else "unknown"
# (a source package unpacked without .git).
if(NOT DEFINED PLATEWISE_COMMIT OR PLATEWISE_COMMIT STREQUAL "")
  set(_commit "unknown")
  if(EXISTS "${PROJECT_SOURCE_DIR}/.platewise-commit")
    file(STRINGS "${PROJECT_SOURCE_DIR}/.platewise-commit" _lines LIMIT_COUNT 1)
    if(_lines MATCHES "^[A-Za-z0-9._+-]+$")
      set(_commit "${_lines}")
    endif()
  else()
    find_package(Git QUIET)
    if(GIT_FOUND)
      execute_process(COMMAND "${GIT_EXECUTABLE}" rev-parse --show-toplevel
                      WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
                      OUTPUT_VARIABLE _top OUTPUT_STRIP_TRAILING_WHITESPACE
                      RESULT_VARIABLE _top_result ERROR_QUIET)
      # Only the tree's own repository: a copy inside another checkout (the
      # package build's, under build/) must not take that checkout's commit.
      if(_top_result EQUAL 0)
        file(REAL_PATH "${_top}" _top_real)
        file(REAL_PATH "${PROJECT_SOURCE_DIR}" _source_real)
      endif()
      if(_top_result EQUAL 0 AND _top_real STREQUAL _source_real)
        execute_process(COMMAND "${GIT_EXECUTABLE}" describe --always --dirty --abbrev=12
                        WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
                        OUTPUT_VARIABLE _describe OUTPUT_STRIP_TRAILING_WHITESPACE
                        RESULT_VARIABLE _describe_result ERROR_QUIET)
        if(_describe_result EQUAL 0 AND _describe MATCHES "^[A-Za-z0-9._+-]+$")
          set(_commit "${_describe}")
        endif()
      endif()
    endif()
  endif()
  set(PLATEWISE_COMMIT "${_commit}")
endif()
message(STATUS "platewise commit: ${PLATEWISE_COMMIT}")
