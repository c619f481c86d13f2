# Makes talvo.jar from the classes' jar: adds each library under
# native/PLATFORM/libtalvo.so with its GNU build id, which the loader compares
# with a library's before loading.
# Usage: cmake -DREADELF= -DJAR= -DCLASSES= -DLIBRARIES=PLATFORM=FILE|... -DOUTPUT= -DWORK= -P jar-with-library.cmake
file(REMOVE_RECURSE ${WORK})
string(REPLACE "|" ";" LIBRARIES "${LIBRARIES}")
foreach(entry ${LIBRARIES})
  string(REGEX MATCH "^([^=]+)=(.+)$" entry "${entry}")
  set(stage ${WORK}/native/${CMAKE_MATCH_1})
  set(library ${CMAKE_MATCH_2})
  execute_process(COMMAND ${READELF} -n ${library} OUTPUT_VARIABLE notes COMMAND_ERROR_IS_FATAL ANY)
  if(NOT notes MATCHES "Build ID: ([0-9a-f]+)")
    message(FATAL_ERROR "${library} carries no build id")
  endif()
  file(MAKE_DIRECTORY ${stage})
  file(COPY_FILE ${library} ${stage}/libtalvo.so)
  file(WRITE ${stage}/libtalvo.so.build-id "${CMAKE_MATCH_1}\n")
endforeach()
file(COPY_FILE ${CLASSES} ${OUTPUT}.tmp)
execute_process(COMMAND ${JAR} --update --file ${OUTPUT}.tmp -C ${WORK} native COMMAND_ERROR_IS_FATAL ANY)
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
