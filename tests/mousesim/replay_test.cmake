# Runs mousesim replay as a user would and checks what it prints and how it
# exits. Arguments: -DMOUSESIM=<program> -DDATA=<this directory>.
include(${CMAKE_CURRENT_LIST_DIR}/run_mousesim.cmake)

# JSON lines: the record fields as the record holds them.
run(COMMAND replay ARGS --protocol wheel --hex --format jsonl ${DATA}/wheel_session.hex EXIT 0)
string(REGEX REPLACE "\"t_ms\":[0-9.]+," "" out "${out}")
expect_equal("jsonl" "${out}" "\
{\"event\":\"record\",\"UnitId\":0,\"Flags\":0,\"ButtonFlags\":1,\"ButtonData\":0,\"RawButtons\":1,\"LastX\":-1,\"LastY\":1,\"ExtraInformation\":0}
{\"event\":\"record\",\"UnitId\":0,\"Flags\":0,\"ButtonFlags\":1024,\"ButtonData\":120,\"RawButtons\":1,\"LastX\":0,\"LastY\":0,\"ExtraInformation\":0}
{\"event\":\"record\",\"UnitId\":0,\"Flags\":0,\"ButtonFlags\":1024,\"ButtonData\":65416,\"RawButtons\":1,\"LastX\":0,\"LastY\":0,\"ExtraInformation\":0}
{\"event\":\"record\",\"UnitId\":0,\"Flags\":0,\"ButtonFlags\":2,\"ButtonData\":0,\"RawButtons\":0,\"LastX\":0,\"LastY\":0,\"ExtraInformation\":0}
")

# Text, from standard input: movement, buttons by name, wheel steps, and the
# virtual time at which the class driver got each record: when the packet's
# last byte arrived, and the microseconds the driver's calls cost.
run(COMMAND replay ARGS --protocol wheel --hex INPUT ${DATA}/wheel_session.hex EXIT 0)
expect_match("text" "${out}" "^\
t=30\\.0[0-9]*ms  move \\(-1, 1\\)  left down
t=67\\.5[0-9]*ms  move \\(0, 0\\)  wheel \\+1
t=112\\.5[0-9]*ms  move \\(0, 0\\)  wheel -1
t=142\\.5[0-9]*ms  move \\(0, 0\\)  left up
$")

# The extended wheel mouse: --buttons 5 makes byte 3 code buttons 4 and 5.
file(WRITE ${WORK}/extended.hex "40 00 00 21  40 00 00 2F  40 00 00 00\n")
run(COMMAND replay ARGS --protocol wheel --buttons 5 --hex ${WORK}/extended.hex EXIT 0)
expect_match("extended" "${out}" "button 4 down\n.*button 4 up, button 5 down\n.*button 5 up\n$")

# Raw bytes from a file (a three-byte packet 60 01 02), and the other
# protocols.
string(ASCII 96 1 2 packet)
file(WRITE ${WORK}/three-byte.bin "${packet}")
run(COMMAND replay ARGS --protocol three-byte ${WORK}/three-byte.bin EXIT 0)
expect_match("binary" "${out}" "^t=[0-9.]+ms  move \\(1, 2\\)  left down\n$")
file(WRITE ${WORK}/cseries.hex "94 05 03")
run(COMMAND replay ARGS --protocol c-series --hex ${WORK}/cseries.hex EXIT 0)
expect_match("c-series" "${out}" "^t=[0-9.]+ms  move \\(5, 3\\)  left down\n$")
run(COMMAND replay ARGS --protocol five-byte --hex INPUT ${DATA}/five_byte.hex EXIT 0)
expect_match("five-byte" "${out}" "move \\(1, -2\\)  left down\n.*move \\(3, -4\\)\n$")

# Bytes that complete no packet print nothing.
file(WRITE ${WORK}/partial.hex "40 01")
run(COMMAND replay ARGS --protocol three-byte --hex ${WORK}/partial.hex EXIT 0)
expect_equal("partial packet" "${out}" "")

# Bad input: a clear message and exit status 2.
run(COMMAND replay ARGS --protocol nonesuch EXIT 2)
expect_match("unknown protocol" "${err}" "unknown protocol 'nonesuch'.*three-byte, ballpoint, wheel, c-series, five-byte")
run(COMMAND replay ARGS EXIT 2)
expect_match("no protocol" "${err}" "--protocol is required")
run(COMMAND replay ARGS --protocol wheel --hex ${WORK}/no-such-file EXIT 2)
expect_match("unreadable file" "${err}" "cannot read '.*no-such-file'")
file(WRITE ${WORK}/bad.hex "40 00\n00 4g0\n")
run(COMMAND replay ARGS --protocol wheel --hex ${WORK}/bad.hex EXIT 2)
expect_match("malformed hex" "${err}" "malformed hex byte '4g0' on line 2")
expect_equal("nothing printed for bad hex" "${out}" "")
foreach(buttons 0 6 x "")
  run(COMMAND replay ARGS --protocol wheel --buttons=${buttons} EXIT 2)
  expect_match("--buttons ${buttons}" "${err}" "--buttons must be a number from 1 to 5")
endforeach()
run(COMMAND replay ARGS --protocol wheel --format xml EXIT 2)
expect_match("bad format" "${err}" "--format must be text or jsonl")
