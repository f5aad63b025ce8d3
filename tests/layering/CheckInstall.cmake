# Installs the build tree into a scratch prefix and checks that the program and the
# tools land in bin/ and run. Run with -DBUILD=<build tree> -DPREFIX=<scratch prefix>.
cmake_minimum_required(VERSION 3.16)
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX}
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed with ${status}")
endif()
foreach(program quadstitch quadstitch-batch quadstitch-view quadstitch-sim quadstitch-inspect quadstitch-sync
        quadstitch-calibrate)
  if(NOT EXISTS ${PREFIX}/bin/${program})
    message(FATAL_ERROR "${PREFIX}/bin/${program} was not installed")
  endif()
endforeach()
execute_process(COMMAND ${PREFIX}/bin/quadstitch --help RESULT_VARIABLE status OUTPUT_VARIABLE help)
if(NOT status EQUAL 0 OR NOT help MATCHES "--working-directory")
  message(FATAL_ERROR "installed quadstitch --help failed (${status}): ${help}")
endif()
# The batch tool hands video takes and --version to its module in libexec/quadstitch.
if(NOT EXISTS ${PREFIX}/libexec/quadstitch/quadstitch-batch-video)
  message(FATAL_ERROR "${PREFIX}/libexec/quadstitch/quadstitch-batch-video was not installed")
endif()
execute_process(COMMAND ${PREFIX}/bin/quadstitch-batch --version RESULT_VARIABLE status OUTPUT_VARIABLE version)
if(NOT status EQUAL 0 OR NOT version MATCHES "libavcodec")
  message(FATAL_ERROR "installed quadstitch-batch --version failed (${status}): ${version}")
endif()
file(REMOVE_RECURSE ${PREFIX})
