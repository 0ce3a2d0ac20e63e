# Checks the shipped launcher.exe: an i386 GUI program for Windows 5.0 (2000)
# that imports nothing beyond five KERNEL32 functions, all there since the
# first Windows NT, and carries exactly the icon group 108 with a 32x32 and a
# 16x16 image of 16 colours, and no other resource (no version block).
#
#   cmake -DOBJDUMP=<objdump> -DIMAGE=<launcher.exe> -P check_image.cmake

set(problems "")
# Notes a problem when what was found differs from what is expected.
macro(expect what found expected)
  if(NOT "${found}" STREQUAL "${expected}")
    string(REPLACE ";" ", " found_text "${found}")
    string(REPLACE ";" ", " expected_text "${expected}")
    string(REPLACE "\n" " " found_text "${found_text}")
    list(APPEND problems "${what}: found \"${found_text}\", expected \"${expected_text}\"")
  endif()
endmacro()

execute_process(COMMAND ${OBJDUMP} -p ${IMAGE}
  OUTPUT_VARIABLE headers RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${IMAGE} failed")
endif()

string(REGEX MATCH "file format ([^\n]*)" _ "${headers}")
expect("file format" "${CMAKE_MATCH_1}" "pei-i386")
string(REGEX MATCH "\nMagic\t+([0-9a-f]+)" _ "${headers}")
expect("optional header magic (PE32)" "${CMAKE_MATCH_1}" "010b")
string(REGEX MATCH "\nSubsystem\t+[0-9a-f]+\t\\(([^)]*)\\)" _ "${headers}")
expect("subsystem" "${CMAKE_MATCH_1}" "Windows GUI")
string(REGEX MATCH "\nMajorSubsystemVersion\t([0-9]+)\nMinorSubsystemVersion\t([0-9]+)" _ "${headers}")
# Windows 2000 loads no image that asks for a later subsystem version.
expect("subsystem version" "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}" "5.0")

# Imports: DLL names, then every imported name.
string(REGEX MATCHALL "DLL Name: [^\n]*" dlls "${headers}")
expect("imported DLLs" "${dlls}" "DLL Name: KERNEL32.dll")
string(REGEX MATCHALL "\n\t[0-9a-f]+\t +[0-9]+  [A-Za-z0-9_]+" entries "${headers}")
set(functions "")
foreach(entry IN LISTS entries)
  string(REGEX REPLACE ".* " "" name "${entry}")
  list(APPEND functions ${name})
endforeach()
list(SORT functions)
set(allowed CreateProcessA ExitProcess GetCommandLineA GetModuleHandleA SetCurrentDirectoryA)
expect("imported functions" "${functions}" "${allowed}")

# Resources: the directory tree reduced to types, names and leaf sizes, in
# objdump's order (RT_ICON 3 with images 1 and 2, RT_GROUP_ICON 14 with 108).
string(FIND "${headers}" "The .rsrc Resource Directory section" at)
set(tree "")
set(group_leaf "")
if(at GREATER -1)
  string(SUBSTRING "${headers}" ${at} -1 resources)
  string(REGEX MATCHALL "\n[0-9a-f]+ +(Entry: ID: 0x[0-9a-f]+|Entry: name|Leaf: Addr: 0x[0-9a-f]+, Size: 0x[0-9a-f]+)" lines "${resources}")
  foreach(line IN LISTS lines)
    string(REGEX MATCH "^\n[0-9a-f]+( +)" _ "${line}")
    string(LENGTH "${CMAKE_MATCH_1}" depth)
    if(line MATCHES "Entry: ID: 0x0*([0-9a-f]+)")
      set(id ${CMAKE_MATCH_1})
      if(depth EQUAL 3)
        list(APPEND tree "type ${id}")
      elseif(depth EQUAL 5)
        list(APPEND tree "name ${id}")
      endif()
    elseif(line MATCHES "Entry: name")
      list(APPEND tree "named entry")
    elseif(line MATCHES "Leaf: Addr: (0x[0-9a-f]+), Size: 0x0*([0-9a-f]+)")
      list(APPEND tree "size ${CMAKE_MATCH_2}")
      set(group_leaf ${CMAKE_MATCH_1})
    endif()
  endforeach()
endif()
# 744 and 296 bytes: a 32x32 and a 16x16 image of 4 bits a pixel with masks;
# 34 bytes: a group of two.
set(expected_tree "type 3;name 1;size 2e8;name 2;size 128;type e;name 6c;size 22")
expect("resources" "${tree}" "${expected_tree}")

# The group's own entries: 16 colours, one plane, 4 bits a pixel, sizes and
# the images' identifiers.
if(tree STREQUAL expected_tree)
  string(REGEX MATCH "\nImageBase\t+([0-9a-f]+)" _ "${headers}")
  math(EXPR start "0x${CMAKE_MATCH_1} + ${group_leaf}" OUTPUT_FORMAT HEXADECIMAL)
  math(EXPR stop "${start} + 34" OUTPUT_FORMAT HEXADECIMAL)
  execute_process(COMMAND ${OBJDUMP} -s -j .rsrc --start-address=${start} --stop-address=${stop} ${IMAGE}
    OUTPUT_VARIABLE dump RESULT_VARIABLE status)
  string(REGEX MATCHALL "\n [0-9a-f]+ [^\n]*" rows "${dump}")
  set(group "")
  foreach(row IN LISTS rows)
    string(REGEX REPLACE "^\n [0-9a-f]+ " "" row "${row}")
    string(SUBSTRING "${row}" 0 35 row)
    string(REPLACE " " "" row "${row}")
    string(APPEND group "${row}")
  endforeach()
  # Header (reserved, type 1, two entries), then per image: width, height,
  # colours, reserved, planes, bits a pixel, bytes, identifier.
  set(expected_group "000001000200"
                     "2020100001000400e802000001 00"
                     "1010100001000400280100000200")
  string(REPLACE ";" "" expected_group "${expected_group}")
  string(REPLACE " " "" expected_group "${expected_group}")
  expect("icon group 108" "${group}" "${expected_group}")
endif()

if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "${IMAGE} is not what the package ships:\n  ${text}")
endif()
message(STATUS "${IMAGE}: i386 GUI program for Windows 5.0, imports as expected, icon group 108")
