# GoogleTest: Debian's build when it is there for this target, otherwise built
# from Debian's source package (the cross builds take this road).
include(GoogleTest)
if(NOT CMAKE_CROSSCOMPILING)
  find_package(GTest QUIET)
endif()
if(NOT GTest_FOUND)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # GoogleTest 1.12 and later name their targets GTest::* themselves.
  foreach(_gtest_target gtest gtest_main gmock gmock_main)
    if(NOT TARGET GTest::${_gtest_target})
      add_library(GTest::${_gtest_target} ALIAS ${_gtest_target})
    endif()
  endforeach()
endif()
