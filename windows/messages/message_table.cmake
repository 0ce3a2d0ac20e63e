# Reads a message source (.mc) and writes the message table it compiles to as
# C++ rows for the simulated platform's event log: one
# { id, "text\r\n" } per message, ids composed as the message compiler
# composes them (severity in bits 30-31, facility in bits 16-27, the code in
# the low 16 bits), each text line ending in CR LF.
#
# cmake -DMC=source.mc -DOUT=table.inc -P message_table.cmake

file(STRINGS "${MC}" lines)
set(severity_Success 0)
set(severity_Informational 1)
set(severity_Warning 2)
set(severity_Error 3)

# Facility names declared in the source.
file(READ "${MC}" source)
string(REGEX MATCH "FacilityNames=\\(([^)]*)\\)" facilities "${source}")
string(REGEX MATCHALL "[A-Za-z]+=0x[0-9A-Fa-f]+" facility_pairs "${CMAKE_MATCH_1}")
foreach(pair IN LISTS facility_pairs)
  string(REGEX MATCH "([A-Za-z]+)=(0x[0-9A-Fa-f]+)" _ "${pair}")
  math(EXPR value "${CMAKE_MATCH_2}")
  set(facility_${CMAKE_MATCH_1} ${value})
endforeach()

set(rows "")
set(in_text OFF)
foreach(line IN LISTS lines)
  if(in_text)
    if(line STREQUAL ".")
      math(EXPR id "(${severity} << 30) | (${facility} << 16) | ${code}" OUTPUT_FORMAT HEXADECIMAL)
      string(APPEND rows "    {${id}u, \"${text}\"},\n")
      set(in_text OFF)
    else()
      string(REPLACE "\\" "\\\\" line "${line}")
      string(REPLACE "\"" "\\\"" line "${line}")
      string(APPEND text "${line}\\r\\n")
    endif()
  elseif(line MATCHES "^MessageId=(0x[0-9A-Fa-f]+|[0-9]+)")
    math(EXPR code "${CMAKE_MATCH_1}")
    set(severity 0)
    set(facility 0)
  elseif(line MATCHES "^Severity=([A-Za-z]+)")
    set(severity ${severity_${CMAKE_MATCH_1}})
  elseif(line MATCHES "^Facility=([A-Za-z]+)")
    set(facility ${facility_${CMAKE_MATCH_1}})
  elseif(line MATCHES "^Language=")
    set(in_text ON)
    set(text "")
  endif()
endforeach()
file(WRITE "${OUT}.tmp" "${rows}")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
