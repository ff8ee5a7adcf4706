# cmake -DIN=FILE -DOUT=FILE.gz -P Gzip.cmake
# Compresses as Debian wants its manual pages and changelogs: best
# compression, and no file name or time in the header, so that the same
# source always gives the same bytes.
find_program(KM_GZIP gzip REQUIRED)
execute_process(COMMAND ${KM_GZIP} -9n -c ${IN} OUTPUT_FILE ${OUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE ${OUT})
  message(FATAL_ERROR "gzip ${IN}: ${result}")
endif()
