# Header-only libraries for the MinGW cross build. Debian installs them for
# the build machine under /usr/include, which a cross compiler must not
# search as a whole (glibc's headers would shadow MinGW's). So each package
# gets a folder of its own with a link to just its headers, and an imported
# target named as the real package names it.
function(platewise_host_headers target)
  if(TARGET ${target})
    return()
  endif()
  set(folder ${CMAKE_BINARY_DIR}/host-headers/${CMAKE_FIND_PACKAGE_NAME})
  foreach(name IN LISTS ARGN)
    if(NOT EXISTS /usr/include/${name})
      set(${CMAKE_FIND_PACKAGE_NAME}_FOUND FALSE PARENT_SCOPE)
      return()
    endif()
    file(MAKE_DIRECTORY ${folder})
    file(CREATE_LINK /usr/include/${name} ${folder}/${name} SYMBOLIC)
  endforeach()
  add_library(${target} INTERFACE IMPORTED)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${folder})
endfunction()
