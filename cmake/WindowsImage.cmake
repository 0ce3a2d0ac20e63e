# The shipped images: kernel drivers linked from driver libraries, and the
# finishing and checking every shipped image gets after its link.
#
# add_kernel_driver(NAME
#     LIBRARIES lib...          driver libraries (add_driver_library) it is made of
#     IMPORT_LIBRARIES lib...   ntoskrnl, hal, wmilib: the modules it may import from
#     DESCRIPTION text          the version resource's file description
#     [MESSAGE_TABLE file.mc]   event-message source compiled into its message table
#     [MESSAGES n BLOCKS m]     what that message table must hold
#     [FORBIDDEN_IMPORTS name...])
#   Links NAME.sys for i386 Windows 2000 into ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
#   (target NAME_sys), then finishes and checks it.
#
# finish_windows_image(TARGET KIND driver|program MODULES dll... [CHECK_ARGS ...])
#   After every link of TARGET: section placement and checksum
#   (windows/finish_image.py), then the image check (windows/check_image.py).

# The package's own identity, in version resources and INF files.
set(PACKAGE_PRODUCT "Serial and PS/2 Mouse Driver Package")
set(PACKAGE_COMPANY "Mouse Driver Package")
set(PACKAGE_COPYRIGHT "Copyright (C) 2026 Mouse Driver Package")
set(PACKAGE_VERSION 1.0.0.0)
# A driver is meant to stay under this size.
set(PACKAGE_DRIVER_SIZE_GOAL 24576)

if(NOT PACKAGE_TARGET_WINDOWS)
  return()
endif()

enable_language(RC)
# Every image names the libraries it links; none gets the toolchain's defaults.
set(CMAKE_CXX_STANDARD_LIBRARIES "")
set(CMAKE_C_STANDARD_LIBRARIES "")

# The finishing and the check read PE files with Debian's python3-pefile, so
# they use the system's Python 3 before any other found on the path.
find_program(WINDOWS_IMAGE_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(WINDOWS_IMAGE_PYTHON python3 REQUIRED)
execute_process(COMMAND ${WINDOWS_IMAGE_PYTHON} -c "import pefile"
  RESULT_VARIABLE pefile_missing OUTPUT_QUIET ERROR_QUIET)
if(pefile_missing)
  message(FATAL_ERROR "${WINDOWS_IMAGE_PYTHON} cannot import pefile: "
                      "scripts/install-deps.sh installs python3-pefile")
endif()
find_program(WINDOWS_OBJDUMP NAMES i686-w64-mingw32-objdump REQUIRED)
find_program(WINDOWS_NM NAMES i686-w64-mingw32-nm REQUIRED)
find_program(WINDOWS_WINDMC NAMES i686-w64-mingw32-windmc REQUIRED)

set(WINDOWS_IMAGE_DIR ${CMAKE_SOURCE_DIR}/windows)
set(WINDOWS_EXPORT_LIST ${WINDOWS_IMAGE_DIR}/win2000_exports.txt)

string(REPLACE "." "," PACKAGE_VERSION_COMMAS "${PACKAGE_VERSION}")

function(finish_windows_image target)
  cmake_parse_arguments(ARG "" "KIND" "MODULES;CHECK_ARGS" ${ARGN})
  list(JOIN ARG_MODULES "," modules)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${WINDOWS_IMAGE_PYTHON} ${WINDOWS_IMAGE_DIR}/finish_image.py
            --kind ${ARG_KIND} $<TARGET_FILE:${target}>
    COMMAND ${WINDOWS_IMAGE_PYTHON} ${WINDOWS_IMAGE_DIR}/check_image.py
            --kind ${ARG_KIND} --exports ${WINDOWS_EXPORT_LIST} --modules ${modules}
            --objdump ${WINDOWS_OBJDUMP} ${ARG_CHECK_ARGS} -- $<TARGET_FILE:${target}>
    COMMENT "Finishing and checking $<TARGET_FILE_NAME:${target}>"
    COMMAND_EXPAND_LISTS
    VERBATIM)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS
    ${WINDOWS_IMAGE_DIR}/finish_image.py ${WINDOWS_IMAGE_DIR}/check_image.py ${WINDOWS_EXPORT_LIST})
endfunction()

function(add_kernel_driver name)
  cmake_parse_arguments(ARG "" "DESCRIPTION;MESSAGE_TABLE;MESSAGES;BLOCKS"
                        "LIBRARIES;IMPORT_LIBRARIES;FORBIDDEN_IMPORTS" ${ARGN})
  set(target ${name}_sys)
  set(resources ${CMAKE_CURRENT_BINARY_DIR}/${name}_resources)
  file(MAKE_DIRECTORY ${resources})

  # Version resource.
  set(IMAGE_NAME ${name})
  set(IMAGE_FILE ${name}.sys)
  set(IMAGE_DESCRIPTION "${ARG_DESCRIPTION}")
  set(IMAGE_FILE_TYPE VFT_DRV)
  set(IMAGE_FILE_SUBTYPE VFT2_DRV_MOUSE)
  configure_file(${WINDOWS_IMAGE_DIR}/version.rc.in ${resources}/version.rc @ONLY)
  set(sources ${resources}/version.rc)

  # Message table: windmc turns the message source into a resource script
  # (MSG00001.bin and NAME.rc) that the resource compiler takes in.
  set(check_args --size-goal ${PACKAGE_DRIVER_SIZE_GOAL})
  if(ARG_MESSAGE_TABLE)
    get_filename_component(stem ${ARG_MESSAGE_TABLE} NAME_WE)
    add_custom_command(OUTPUT ${resources}/${stem}.rc ${resources}/${stem}.h
      COMMAND ${WINDOWS_WINDMC} -A -b -r ${resources} -h ${resources} ${ARG_MESSAGE_TABLE}
      DEPENDS ${ARG_MESSAGE_TABLE}
      COMMENT "Compiling the event messages of ${name}.sys"
      VERBATIM)
    list(APPEND sources ${resources}/${stem}.rc)
    set_source_files_properties(${resources}/${stem}.rc PROPERTIES GENERATED TRUE)
    list(APPEND check_args --messages ${ARG_MESSAGES} --blocks ${ARG_BLOCKS})
  endif()
  foreach(forbidden IN LISTS ARG_FORBIDDEN_IMPORTS)
    list(APPEND check_args --forbid ${forbidden})
  endforeach()

  set(objects "")
  foreach(library IN LISTS ARG_LIBRARIES)
    list(APPEND objects $<TARGET_OBJECTS:${library}>)
  endforeach()
  add_executable(${target} ${objects} ${sources})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${name} SUFFIX .sys LINKER_LANGUAGE CXX)
  target_include_directories(${target} PRIVATE ${resources})
  # An i386 kernel-mode image for Windows 2000: native subsystem 5.0, OS 5.0,
  # loaded at the driver image base but relocatable, entered at DriverEntry,
  # exporting nothing, stripped, and linked against nothing but the kernel
  # modules it names (and libgcc, the compiler's run-time routines).
  target_link_options(${target} PRIVATE
    -shared -nostdlib -s
    -Wl,--subsystem,native:5.0
    -Wl,--major-os-version,5 -Wl,--minor-os-version,0
    -Wl,--entry,_DriverEntry@8
    -Wl,--image-base,0x10000
    -Wl,--exclude-all-symbols
    -Wl,--disable-dynamicbase -Wl,--disable-nxcompat
    -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000)
  target_link_libraries(${target} PRIVATE ${ARG_IMPORT_LIBRARIES} gcc)

  set(modules "")
  foreach(library IN LISTS ARG_IMPORT_LIBRARIES)
    if(library STREQUAL "ntoskrnl")
      list(APPEND modules ntoskrnl.exe)
    elseif(library STREQUAL "hal")
      list(APPEND modules HAL.dll)
    elseif(library STREQUAL "wmilib")
      list(APPEND modules WMILIB.SYS)
    else()
      message(FATAL_ERROR "${name}: a kernel driver imports from ntoskrnl, hal or wmilib, not ${library}")
    endif()
  endforeach()
  finish_windows_image(${target} KIND driver MODULES ${modules}
    CHECK_ARGS --nm ${WINDOWS_NM} --objects ${objects} ${check_args})
endfunction()
