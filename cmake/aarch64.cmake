# The library for linux-aarch64 beside the host's in talvo.jar.  Where Debian's
# arm64 cross packages are (scripts/install-deps), libtalvo is built again with
# cmake/aarch64-linux-gnu.cmake in ./aarch64 (cmake/aarch64/CMakeLists.txt);
# the compiler, and the arm64 JDK for the emulated tests, are unpacked from
# Debian's archive by scripts/fetch-aarch64 where they are not installed.
# Sets TALVO_JAR_LIBRARIES: "linux-ARCH=LIBRARY" for each library of the jar,
# and TALVO_AARCH64_DEPENDS: what packing the jar waits for.
option(TALVO_AARCH64 "also build libtalvo for linux-aarch64 where the cross packages are" ON)
string(REGEX REPLACE "^(amd64|AMD64)$" "x86_64" host_arch "${CMAKE_SYSTEM_PROCESSOR}")
string(REGEX REPLACE "^arm64$" "aarch64" host_arch "${host_arch}")
set(TALVO_JAR_LIBRARIES "linux-${host_arch}=$<TARGET_FILE:talvo>")
set(TALVO_AARCH64_DIR ${CMAKE_BINARY_DIR}/aarch64)
set(TALVO_ARM64_JDK ${CMAKE_BINARY_DIR}/aarch64-tools/jdk/usr/lib/jvm/java-17-openjdk-arm64)
set(aarch64_tools ${CMAKE_BINARY_DIR}/aarch64-tools)
find_program(aarch64_as aarch64-linux-gnu-as)
find_program(TALVO_AARCH64_CXX NAMES aarch64-linux-gnu-g++-12 aarch64-linux-gnu-g++ PATHS ${aarch64_tools}/gcc/usr/bin
             DOC "the aarch64 cross g++ (unpacked from Debian's archive where not installed)")
if(NOT TALVO_AARCH64)
  set(aarch64_why "TALVO_AARCH64 is off")
elseif(NOT host_arch STREQUAL x86_64)
  set(aarch64_why "cross builds are made on x86_64 only")
elseif(NOT aarch64_as OR NOT EXISTS /usr/aarch64-linux-gnu/lib/libstdc++.so.6)
  set(aarch64_why "no arm64 cross packages (binutils-aarch64-linux-gnu, libstdc++-12-dev-arm64-cross: see scripts/install-deps)")
else()
  set(parts "")
  set(failed "")
  if(NOT TALVO_AARCH64_CXX)
    list(APPEND parts gcc)
  endif()
  if(BUILD_TESTING)
    list(APPEND parts jdk)
  endif()
  if(parts)
    string(REPLACE ";" " and " parts_text "${parts}")
    message(STATUS "Fetching the aarch64 ${parts_text} from Debian's archive into ${aarch64_tools}")
    execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/fetch-aarch64 ${aarch64_tools} ${parts} RESULT_VARIABLE failed)
    if(NOT TALVO_AARCH64_CXX AND NOT failed)
      set(TALVO_AARCH64_CXX ${aarch64_tools}/gcc/usr/bin/aarch64-linux-gnu-g++-12 CACHE FILEPATH "" FORCE)
    endif()
  endif()
  if(failed)
    set(aarch64_why "scripts/fetch-aarch64 failed")
  endif()
endif()

if(aarch64_why)
  message(STATUS "talvo.jar holds linux-${host_arch} only: no linux-aarch64 library (${aarch64_why})")
  set(TALVO_AARCH64_LIBRARY "")
  set(TALVO_AARCH64_DEPENDS "")
else()
  message(STATUS "talvo.jar holds linux-x86_64 and linux-aarch64 (aarch64 built with ${TALVO_AARCH64_CXX})")
  set(TALVO_AARCH64_LIBRARY ${TALVO_AARCH64_DIR}/libtalvo.so.${PROJECT_VERSION})
  set(TALVO_AARCH64_DEPENDS talvo_aarch64 ${TALVO_AARCH64_LIBRARY})
  list(APPEND TALVO_JAR_LIBRARIES "linux-aarch64=${TALVO_AARCH64_LIBRARY}")
  # The JUnit classes that start no process: the emulator cannot start another.
  set(junit_classes "")
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/java/*Test.java)
  foreach(source ${sources})
    file(READ ${source} text)
    if(NOT text MATCHES "ChildJvm|ProcessBuilder")
      file(RELATIVE_PATH class ${CMAKE_SOURCE_DIR}/tests/java ${source})
      string(REGEX REPLACE "\\.java$" "" class ${class})
      string(REPLACE "/" "." class ${class})
      list(APPEND junit_classes ${class})
    endif()
  endforeach()
  string(REPLACE ";" "|" junit_classes "${junit_classes}")
  string(REPLACE ";" "|" jni_includes "${JNI_INCLUDE_DIRS}")
  set(test_args "")
  if(BUILD_TESTING)
    set(test_args -DTALVO_ARM64_JDK=${TALVO_ARM64_JDK} -DTALVO_JAR=${TALVO_JAR} -DJUNIT_JAR=${JUNIT_JAR}
                  -DTALVO_TESTS_JAR=${CMAKE_BINARY_DIR}/talvo-tests.jar -DTALVO_JUNIT_CLASSES=${junit_classes})
  endif()
  include(ExternalProject)
  ExternalProject_Add(talvo_aarch64
    SOURCE_DIR ${CMAKE_SOURCE_DIR}/cmake/aarch64
    BINARY_DIR ${TALVO_AARCH64_DIR}
    LIST_SEPARATOR |
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/aarch64-linux-gnu.cmake
               -DCMAKE_CXX_COMPILER=${TALVO_AARCH64_CXX} -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
               -DTALVO_SOURCE_DIR=${CMAKE_SOURCE_DIR} -DTALVO_WERROR=${TALVO_WERROR}
               -DTALVO_JNI_HEADERS=${TALVO_JNI_HEADERS} -DBUILD_TESTING=${BUILD_TESTING}
               -DTALVO_JNI_INCLUDE_DIRS=${jni_includes} ${test_args}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${TALVO_AARCH64_LIBRARY}
    DEPENDS talvo_classes_jar)
endif()

# The aarch64 leg of the tests: the suites above run under qemu-user, skipped
# with the reason where there is no aarch64 build or qemu cannot run.
if(BUILD_TESTING AND aarch64_why)
  add_test(NAME aarch64 COMMAND ${CMAKE_COMMAND} -E echo "skipped: no aarch64 build (${aarch64_why})")
  set_tests_properties(aarch64 PROPERTIES SKIP_REGULAR_EXPRESSION "skipped:")
elseif(BUILD_TESTING)
  add_test(NAME aarch64 COMMAND ${CMAKE_SOURCE_DIR}/cmake/aarch64/run-tests ${CMAKE_CTEST_COMMAND} ${TALVO_AARCH64_DIR})
  set_tests_properties(aarch64 PROPERTIES TIMEOUT 900 SKIP_RETURN_CODE 77)
endif()
