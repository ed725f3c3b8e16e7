# cmake -DCOMPILER=... -DSOURCE_DIR=... -DINPUT=x.psc -DOUTPUT=x.pex -P compile.cmake
# Compiles the script with a compile time that belongs to the sources, not to
# the moment of the build: SOURCE_DATE_EPOCH when set, else the last commit's
# time, else 0 (a tree that is not a git checkout). The output is replaced only
# when its bytes change, so the archives are not repacked for nothing.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(time "$ENV{SOURCE_DATE_EPOCH}")
  if(NOT time MATCHES "^[0-9]+$")
    message(FATAL_ERROR "SOURCE_DATE_EPOCH is '${time}', not a number of seconds")
  endif()
else()
  execute_process(COMMAND git -C ${SOURCE_DIR} log -1 --format=%ct
    OUTPUT_VARIABLE time RESULT_VARIABLE result ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT result EQUAL 0 OR NOT time MATCHES "^[0-9]+$")
    message(STATUS "Not a git checkout and no SOURCE_DATE_EPOCH: the compiled script's time is 0")
    set(time 0)
  endif()
endif()
execute_process(COMMAND ${COMPILER} --time ${time} ${INPUT} ${OUTPUT}.new RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE ${OUTPUT}.new)
  message(FATAL_ERROR "papyrus-compile failed on ${INPUT}")
endif()
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
