# The Prometheus metrics of platewise listen (--metrics, --textfile). Included
# from tests/CMakeLists.txt when the build has them (prometheus-cpp found).
set(_metrics_tests ${CMAKE_CURRENT_LIST_DIR})
add_executable(platewise_metrics_test
  ${_metrics_tests}/metrics/metrics_exposition_test.cpp
  ${_metrics_tests}/metrics/metrics_textfile_test.cpp
  ${_metrics_tests}/metrics/nvme_metrics_test.cpp
)
if(NOT WIN32)
  target_sources(platewise_metrics_test PRIVATE ${_metrics_tests}/metrics/metrics_server_test.cpp)
endif()
target_link_libraries(platewise_metrics_test PRIVATE platewise_metrics platewise_tool
                      GTest::gtest_main platewise_warnings)
target_compile_definitions(platewise_metrics_test PRIVATE PLATEWISE_TEST_DATA="${PLATEWISE_TEST_DATA}")
gtest_discover_tests(platewise_metrics_test DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 120)
