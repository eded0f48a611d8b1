# Runs PROGRAM with FAULT and passes only when it fails with a report matching REPORT.
# The sanitizer options come from the environment, as for every other test.
execute_process(COMMAND ${PROGRAM} ${FAULT} RESULT_VARIABLE result OUTPUT_VARIABLE output
                ERROR_VARIABLE output)
message("${output}")
if(result EQUAL 0)
    message(FATAL_ERROR "the ${FAULT} fault went through with exit code 0")
endif()
if(NOT output MATCHES "${REPORT}")
    message(FATAL_ERROR "no report matching '${REPORT}' for the ${FAULT} fault")
endif()
