# Runs nimbrel-sim on scenarios/late-and-dropped.txt, on a runtime other than
# the edition's default, and checks what it says: the summary's and the
# report's headline that lightning never started, the late event and the
# events not played, exit code 1, and the report's header naming the edition,
# the runtime and the host in the summary's words.
# cmake -DSIM=... -DSCENARIO=... -DOUT=... -P sim_report_check.cmake
execute_process(COMMAND ${SIM} --scenario ${SCENARIO} --runtime 1.6.1170 --time-scale 10 --out ${OUT}
                OUTPUT_VARIABLE summary ERROR_VARIABLE errors RESULT_VARIABLE code)
if(NOT code EQUAL 1)
  message(FATAL_ERROR "exit code ${code}, expected 1 (events not played)\n${summary}\n${errors}")
endif()
set(headline "never started — the plug-in's log says \"FormId finding failed. Mod cannot function.\"")
set(expected
  "lightning:    ${headline}"
  "checks:       the double's checks of the host and engine rules all held"
  "events:       4 of 6 played \\(3 on time, 1 late\\), 2 not played"
  "  late:       line 11 at 4.0 s \"weather rain\": played at [0-9.]+ s, [0-9.]+ s late \\(the saved-game load at line 10 held the main thread\\)"
  "  not played: line 13 at 19.0 s \"weather clear\": play ended at 20.0 s while the saved-game load at line 12 held the main thread"
  "settings:     1 key\\(s\\) the plug-in does not know"
  "did you mean 'EnableSheet'\\?"
  "failures:     2")
foreach(line IN LISTS expected)
  if(NOT summary MATCHES "${line}")
    message(FATAL_ERROR "the summary lacks: ${line}\n${summary}")
  endif()
endforeach()
string(REGEX MATCH "report: +([^\n]*NimbrelReport.html)" found "${summary}")
if(NOT found)
  message(FATAL_ERROR "no report line\n${summary}")
endif()
file(READ "${CMAKE_MATCH_1}" html)
set(expected
  "<div class=\"verdict warn\" id=\"lightning\"><b>lightning</b> never started — the plug-in's log says &quot;FormId finding failed. Mod cannot function.&quot;</div>"
  "id=\"events\"><b>events</b> 4 of 6 played, 1 late, 2 not played"
  "<tr class=\"late\"><td class=\"n\">3</td><td class=\"n\">11</td><td class=\"n\">4.0 s</td><td class=\"late\">[0-9.]+ s, [0-9.]+ s late: the saved-game load at line 10 held the main thread"
  "<tr class=\"dropped\"><td class=\"n\">5</td><td class=\"n\">13</td><td class=\"n\">19.0 s</td><td class=\"dropped\">not played: play ended"
  "class=\"late\" text-anchor=\"middle\">3</text>"
  "class=\"dropped\" text-anchor=\"middle\">×5</text>")
foreach(line IN LISTS expected)
  if(NOT html MATCHES "${line}")
    message(FATAL_ERROR "the report lacks: ${line}")
  endif()
endforeach()
if(html MATCHES "class=\"verdict ok\" id=\"lightning\"")
  message(FATAL_ERROR "the report shows lightning in green though it never started")
endif()

# The header: the summary's runtime: and host: lines, as the page escapes them.
foreach(field runtime host)
  if(NOT summary MATCHES "\n${field}: +([^\n]+)")
    message(FATAL_ERROR "the summary has no ${field}: line\n${summary}")
  endif()
  set(words "${CMAKE_MATCH_1}")
  foreach(pair "&;&amp;" "<;&lt;" ">;&gt;" "\";&quot;")
    list(GET pair 0 from)
    list(GET pair 1 to)
    string(REPLACE "${from}" "${to}" words "${words}")
  endforeach()
  string(FIND "${html}" "<tr><th>${field}</th><td>${words}</td></tr>" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the report's header lacks the summary's ${field}: ${words}")
  endif()
endforeach()
foreach(text "<tr><th>edition</th><td>Skyrim Special Edition</td></tr>" "<tr><th>runtime</th><td>1.6.1170 ")
  string(FIND "${html}" "${text}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the report's header lacks: ${text}")
  endif()
endforeach()
