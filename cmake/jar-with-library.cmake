# Makes talvo.jar from the classes' jar: adds the library for linux-x86_64 and
# its GNU build id, which the loader compares with a library's before loading.
# Usage: cmake -DREADELF= -DJAR= -DCLASSES= -DLIBRARY= -DOUTPUT= -DWORK= -P jar-with-library.cmake
execute_process(COMMAND ${READELF} -n ${LIBRARY} OUTPUT_VARIABLE notes COMMAND_ERROR_IS_FATAL ANY)
if(NOT notes MATCHES "Build ID: ([0-9a-f]+)")
  message(FATAL_ERROR "${LIBRARY} carries no build id")
endif()
set(stage ${WORK}/native/linux-x86_64)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${stage})
file(COPY_FILE ${LIBRARY} ${stage}/libtalvo.so)
file(WRITE ${stage}/libtalvo.so.build-id "${CMAKE_MATCH_1}\n")
file(COPY_FILE ${CLASSES} ${OUTPUT}.tmp)
execute_process(COMMAND ${JAR} --update --file ${OUTPUT}.tmp -C ${WORK} native COMMAND_ERROR_IS_FATAL ANY)
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
