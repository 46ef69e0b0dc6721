# CLI11 (Debian's libcli11-dev) for the MinGW cross build.
include(${CMAKE_CURRENT_LIST_DIR}/../host_headers.cmake)
platewise_host_headers(CLI11::CLI11 CLI)
