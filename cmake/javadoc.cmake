# talvo-javadoc.jar, the API reference of the com.velmar.* classes, and
# talvo-sources.jar, both installed beside talvo.jar.  The test library.javadoc
# runs javadoc again with every check on (-Xdoclint:all -Werror): a public
# member without its documentation, or a broken comment, fails it.
set(TALVO_JAVADOC_JAR ${CMAKE_BINARY_DIR}/talvo-javadoc.jar)
set(TALVO_SOURCES_JAR ${CMAKE_BINARY_DIR}/talvo-sources.jar)
set(javadoc_options --release 17 -quiet -sourcepath ${CMAKE_SOURCE_DIR}/java -subpackages com.velmar
    -doctitle "libtalvo ${PROJECT_VERSION}: the com.velmar.* classes" -windowtitle "libtalvo ${PROJECT_VERSION}")
add_custom_command(OUTPUT ${TALVO_JAVADOC_JAR} ${TALVO_SOURCES_JAR}
  COMMAND ${CMAKE_COMMAND} -E rm -rf javadoc
  COMMAND ${Java_JAVADOC_EXECUTABLE} ${javadoc_options} -Xdoclint:none -d javadoc
  COMMAND ${Java_JAR_EXECUTABLE} --create --file ${TALVO_JAVADOC_JAR} -C javadoc .
  COMMAND ${Java_JAR_EXECUTABLE} --create --file ${TALVO_SOURCES_JAR} -C ${CMAKE_SOURCE_DIR}/java com
  DEPENDS ${TALVO_JAVA_SOURCES}
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  COMMENT "Writing the API reference (talvo-javadoc.jar) and talvo-sources.jar"
  VERBATIM)
add_custom_target(talvo_javadoc ALL DEPENDS ${TALVO_JAVADOC_JAR} ${TALVO_SOURCES_JAR})
install(FILES ${TALVO_JAVADOC_JAR} ${TALVO_SOURCES_JAR} DESTINATION ${CMAKE_INSTALL_DATADIR}/java)
if(BUILD_TESTING)
  add_test(NAME library.javadoc COMMAND ${Java_JAVADOC_EXECUTABLE} ${javadoc_options} -Xdoclint:all -Werror
           -d ${CMAKE_BINARY_DIR}/javadoc-check)
endif()
