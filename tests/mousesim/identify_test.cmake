# Runs mousesim identify as a user would and checks what it prints and how it
# exits. Arguments: -DMOUSESIM=<program>.
include(${CMAKE_CURRENT_LIST_DIR}/run_mousesim.cmake)

# JSON lines: the port's settings saved first, the answer read, the result.
# Waits end on clock ticks of 10.0144 ms and every kernel call costs a few
# microseconds: the 200 ms before the baud is set end at 200.29 ms, the
# answer's last read times out on the tick at 881.27 ms.
run(COMMAND identify ARGS --driver serwheel --mouse wheel5 --format jsonl EXIT 0)
expect_match("first event" "${out}"
  "^{\"t_ms\":0(\\.[0-9]+)?,\"event\":\"request\",\"name\":\"IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS\",\"status\":\"0x00000000\"}\n")
expect_match("baud" "${out}" "{\"t_ms\":200\\.[0-9]+,\"event\":\"request\",\"name\":\"IOCTL_SERIAL_SET_BAUD_RATE\",\"BaudRate\":1200,")
expect_match("answer" "${out}" "\"event\":\"read\",\"byte\":77}\n[^\n]*\n[^\n]*\"event\":\"read\",\"byte\":90}\n[^\n]*\"event\":\"read\",\"byte\":68}\n")
expect_match("result" "${out}"
  "\n{\"t_ms\":881\\.[0-9]+,\"event\":\"result\",\"status\":\"0x00000000\",\"kind\":5,\"decoder\":\"DecodeWheel\",\"MouseIdentifier\":64,\"NumberOfButtons\":5,\"baud\":1200,\"line\":\\[0,0,7\\]}\n$")

# A C-series mouse at 4800 baud: found there, brought to 1200.
run(COMMAND identify ARGS --driver serwheel --mouse c-series@4800 --format=jsonl EXIT 0)
expect_match("status query at 4800" "${out}" "\"event\":\"write\",\"byte\":115,\"baud\":4800}\n[^\n]*\n[^\n]*\n[^\n]*\"event\":\"read\",\"byte\":79}")
expect_match("last commands" "${out}" "\"byte\":110,\"baud\":4800}\n[^\n]*BaudRate\":1200[^\n]*\n[^\n]*\"byte\":78,\"baud\":1200}\n[^\n]*\"byte\":83,\"baud\":1200}\n")
expect_match("c-series result" "${out}" "\"event\":\"result\",\"status\":\"0x00000000\",\"kind\":0,\"decoder\":\"DecodeCSeries\",\"MouseIdentifier\":0,\"NumberOfButtons\":3,\"baud\":1200,\"line\":\\[0,0,8\\]}\n$")

# Nobody there.
run(COMMAND identify ARGS --driver serwheel --mouse none --format jsonl EXIT 0)
expect_match("no mouse" "${out}" "\"event\":\"no_byte\",\"status\":\"0x00000102\"}")
expect_match("no mouse result" "${out}" "\"status\":\"0xC0000001\",\"kind\":0,\"decoder\":null,\"MouseIdentifier\":0,\"NumberOfButtons\":2,\"baud\":1200,\"line\":\\[0,0,8\\]}\n$")

# Text for people.
run(COMMAND identify ARGS --driver serwheel --mouse three-button EXIT 0)
expect_match("text" "${out}" "read  '3' 0x33\n.*kind             2 \\(ThreeButtonMouse\\)\n  decoder          DecodeThreeByte\n")

# serfive: the same conversation at eight data bits, never a byte written.
run(COMMAND identify ARGS --driver serfive --mouse five-byte --format jsonl EXIT 0)
expect_match("serfive first event" "${out}"
  "^{\"t_ms\":0(\\.[0-9]+)?,\"event\":\"request\",\"name\":\"IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS\",\"status\":\"0x00000000\"}\n")
expect_match("serfive line" "${out}" "\"name\":\"IOCTL_SERIAL_SET_LINE_CONTROL\",\"StopBits\":0,\"Parity\":0,\"WordLength\":8,")
expect_match("serfive answer" "${out}" "\"event\":\"read\",\"byte\":72}\n")
expect_match("serfive result" "${out}"
  "\n{\"t_ms\":[0-9.]+,\"event\":\"result\",\"status\":\"0x00000000\",\"kind\":1,\"decoder\":\"DecodeFiveByte\",\"MouseIdentifier\":4,\"NumberOfButtons\":3,\"baud\":1200,\"line\":\\[0,0,8\\]}\n$")
if(out MATCHES "\"event\":\"write\"")
  message(FATAL_ERROR "serfive wrote to the mouse:\n${out}")
endif()

# A mouse for serwheel is refused at once, with no wait after its answer.
run(COMMAND identify ARGS --driver serfive --mouse wheel5 --format jsonl EXIT 0)
expect_match("serfive refuses" "${out}"
  "\"event\":\"result\",\"status\":\"0xC0000001\",\"kind\":0,\"decoder\":null,\"MouseIdentifier\":0,\"NumberOfButtons\":2,\"baud\":1200,\"line\":\\[0,0,8\\]}\n$")
run(COMMAND identify ARGS --driver serfive --mouse five-byte EXIT 0)
expect_match("serfive text" "${out}"
  "^identifying a five-byte mouse with serfive on COM1\n.*read  'H' 0x48\n.*kind             1 \\(five-byte mouse: 'H' in the answer\\)\n  decoder          DecodeFiveByte\n")

# Bad input.
run(COMMAND identify ARGS --driver serthree --mouse wheel EXIT 2)
expect_match("unknown driver" "${err}" "unknown driver 'serthree'; drivers: serwheel, serfive")
run(COMMAND identify ARGS --driver serwheel --mouse trackball EXIT 2)
expect_match("unknown mouse" "${err}" "unknown mouse 'trackball'; models: two-button,")
run(COMMAND identify ARGS --driver serwheel EXIT 2)
expect_match("no mouse given" "${err}" "--mouse is required")
run(COMMAND identify ARGS --mouse wheel EXIT 2)
expect_match("no driver given" "${err}" "--driver is required")
run(COMMAND identify ARGS --driver serwheel --mouse wheel --format xml EXIT 2)
expect_match("format" "${err}" "--format must be text or jsonl, not 'xml'")
run(COMMAND identify ARGS --driver serwheel --mouse wheel extra EXIT 2)
expect_match("extra" "${err}" "unexpected argument 'extra'\nusage: mousesim identify")
