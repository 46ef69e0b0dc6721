# Every target of ours is built with the same strict warnings, as errors.
add_library(platewise_warnings INTERFACE)
if(MSVC)
  target_compile_options(platewise_warnings INTERFACE /W4 /WX)
else()
  target_compile_options(platewise_warnings INTERFACE -Wall -Wextra -Werror)
endif()
