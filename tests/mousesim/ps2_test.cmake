# Runs mousesim ps2 as a user would and checks what it prints and how it exits.
# Arguments: -DMOUSESIM=<program> -DSCRIPTS=<folder of sample scripts> -DWORK=<scratch folder>.
include(${CMAKE_CURRENT_LIST_DIR}/run_mousesim.cmake)

# An extended mouse behind the filter: activated, settled as ID 4, its fourth
# and fifth buttons delivered.
run(COMMAND ps2 ARGS --mouse extended --script ${SCRIPTS}/five-buttons.txt --format jsonl EXIT 0)
expect_match("filter writes" "${out}" "\"event\":\"write\",[^\n]*\"byte\":243,\"by\":\"filter\"")
expect_match("ID rewritten" "${out}" "\"event\":\"read\",[^\n]*\"byte\":5,\"passed\":4,\"state\":5,\"substate\":28}")
expect_match("packet bytes" "${out}" "\"event\":\"read\",[^\n]*\"state\":3,\"substate\":null}")
expect_match("device ID" "${out}" "\"event\":\"device-id\",[^\n]*\"id\":4}")
expect_match("button 4 then 5" "${out}" "\"ButtonFlags\":64,.*\"ButtonFlags\":256,")
expect_match("verifier" "${out}" "\"event\":\"verifier\",\"clean\":true,\"report\":\"\"}\n$")

# Text names the port driver's step with each byte; a seed interleaves the
# processors and changes nothing of what the user sees.
run(COMMAND ps2 ARGS --mouse extended --seed 3 EXIT 0)
expect_match("substate names" "${out}" "mouse  sends  0x05  \\[ExpectingGetDeviceId2Value\\]  -> port driver gets 0x04")
expect_match("five-button step" "${out}" "settles on device ID 4")
expect_match("clean" "${out}" "verifier: clean")

# Unplugged and plugged again, an extended mouse comes back extended.
run(COMMAND ps2 ARGS --mouse extended --script ${SCRIPTS}/hot-plug.txt EXIT 0)
expect_match("reset twice into ID 4" "${out}" "settles on device ID 4[^\n]*\n.*settles on device ID 4")
expect_match("button 5 after the plug" "${out}" "button 5 down")

# A reset in the script: a second full activation.
file(WRITE ${WORK}/reset.txt "press 4\nrelease 4\nreset\npress 5\nrelease 5\n")
run(COMMAND ps2 ARGS --mouse extended --script ${WORK}/reset.txt --format jsonl EXIT 0)
expect_match("two activations" "${out}" "\"byte\":5,\"passed\":4,[^\n]*\n.*\"byte\":5,\"passed\":4,")
expect_match("button 5 after the reset" "${out}" "\"event\":\"device-id\"[^\n]*\"id\":4}\n.*\"event\":\"device-id\"[^\n]*\"id\":4}\n.*\"ButtonFlags\":256,")

# Without the filter the same mouse is a wheel mouse and nothing is rewritten.
run(COMMAND ps2 ARGS --mouse extended --no-filter --format jsonl EXIT 0)
expect_match("plain wheel mouse" "${out}" "\"event\":\"device-id\",[^\n]*\"id\":3}")
if(out MATCHES "\"by\":\"filter\"")
  message(FATAL_ERROR "a filter wrote with --no-filter:\n${out}")
endif()

# Bad input: a message and exit status 2, nothing run.
run(COMMAND ps2 ARGS --mouse trackball EXIT 2)
expect_match("unknown mouse" "${err}" "unknown mouse 'trackball'")
run(COMMAND ps2 ARGS EXIT 2)
expect_match("no mouse" "${err}" "--mouse is required")
run(COMMAND ps2 ARGS --mouse wheel --script ${WORK}/no-such-script EXIT 2)
expect_match("unreadable script" "${err}" "cannot read script")
file(WRITE ${WORK}/bad-script.txt "move 1 2\nfly away\n")
run(COMMAND ps2 ARGS --mouse wheel --script ${WORK}/bad-script.txt EXIT 2)
expect_match("bad script line" "${err}" "line 2")
run(COMMAND ps2 ARGS --mouse wheel --seed x1 EXIT 2)
expect_match("bad seed" "${err}" "--seed must be a number")
run(COMMAND ps2 ARGS --mouse wheel --format xml EXIT 2)
expect_match("bad format" "${err}" "--format must be text or jsonl")
