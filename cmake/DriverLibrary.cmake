# add_driver_library(NAME SOURCES file... [LINKS lib...])
#
# One driver library, built from the same sources for both platforms:
# - on the host, a static library against the simulated kernel, compiled with
#   the project's warnings; tests, tools and benchmarks link it;
# - for Windows, an object library compiled as kernel code against the
#   toolchain's DDK headers (no exceptions, no RTTI, freestanding, no
#   thread-safe statics), so a source the real headers reject fails the build.
function(add_driver_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINKS" ${ARGN})
  if(PACKAGE_TARGET_WINDOWS)
    add_library(${name} OBJECT ${ARG_SOURCES})
    target_compile_options(${name} PRIVATE ${WINDOWS_KERNEL_FLAGS})
    target_compile_definitions(${name} PRIVATE ${WINDOWS_KERNEL_DEFINITIONS})
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${WINDOWS_DDK_INCLUDE})
  else()
    add_library(${name} STATIC ${ARG_SOURCES})
    target_link_libraries(${name} PUBLIC sim_kernel ${ARG_LINKS})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
    target_compile_options(${name} PRIVATE -Wall -Wextra -Werror -Wno-unused-parameter)
  endif()
endfunction()
