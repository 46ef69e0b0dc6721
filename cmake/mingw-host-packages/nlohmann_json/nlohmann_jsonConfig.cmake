# nlohmann/json (Debian's nlohmann-json3-dev) for the MinGW cross build.
include(${CMAKE_CURRENT_LIST_DIR}/../host_headers.cmake)
platewise_host_headers(nlohmann_json::nlohmann_json nlohmann)
