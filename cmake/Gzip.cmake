# cmake -DGZIP=gzip -DINPUT=FILE -DOUTPUT=FILE.gz -P THIS
# Compresses INPUT into OUTPUT as Debian wants it: best compression, no name or time stamp.
execute_process(COMMAND ${GZIP} -9n -c ${INPUT} OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    file(REMOVE ${OUTPUT})
    message(FATAL_ERROR "${GZIP} failed on ${INPUT}")
endif()
