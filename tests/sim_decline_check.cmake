# Runs nimbrel-sim on the Anniversary Edition without its Address Library
# database and checks that SKSE for AE declines the plug-in before it runs:
# exit code 3, and the summary names the host, its reason and no engine call.
# cmake -DSIM=... -DOUT=... -P sim_decline_check.cmake
execute_process(COMMAND ${SIM} --runtime 1.6.1170 --address-library missing --out ${OUT}
                OUTPUT_VARIABLE summary ERROR_VARIABLE errors RESULT_VARIABLE code)
if(NOT code EQUAL 3)
  message(FATAL_ERROR "exit code ${code}, expected 3 (declined)\n${summary}\n${errors}")
endif()
set(expected
  "runtime:      1.6.1170 \\(0x01064920\\), laid out at 1.6.1170.s own offsets, Address Library database versionlib-1-6-1170-0.bin \\(left out on purpose\\)"
  "query:        not called \\(SKSE for AE\\)"
  "plug-in load: declined by the host \\(SKSE for AE 2.2.6\\): address library needs to be updated: Data/SKSE/Plugins/versionlib-1-6-1170-0.bin is missing"
  "engine:       no call into the engine")
foreach(line IN LISTS expected)
  if(NOT summary MATCHES "${line}")
    message(FATAL_ERROR "the summary lacks: ${line}\n${summary}")
  endif()
endforeach()
