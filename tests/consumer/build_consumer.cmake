# Installs the velk build into a staging prefix, then configures, builds and runs the consumer
# project against it. Run by ctest as `cmake -P` with the folders passed as -D variables.
foreach(variable VELK_BUILD_DIR VELK_STAGING_DIR CONSUMER_SOURCE_DIR CONSUMER_BUILD_DIR CONSUMER_GENERATOR
                 CONSUMER_CXX_COMPILER)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "build_consumer.cmake needs -D${variable}=...")
  endif()
endforeach()

function(run_step name)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${name} failed (${status}):\n${output}")
  endif()
  message(STATUS "${name}: ok")
endfunction()

file(REMOVE_RECURSE ${VELK_STAGING_DIR} ${CONSUMER_BUILD_DIR})
run_step("install" ${CMAKE_COMMAND} --install ${VELK_BUILD_DIR} --prefix ${VELK_STAGING_DIR})
run_step("configure consumer" ${CMAKE_COMMAND} -S ${CONSUMER_SOURCE_DIR} -B ${CONSUMER_BUILD_DIR}
         -G ${CONSUMER_GENERATOR} -DCMAKE_CXX_COMPILER=${CONSUMER_CXX_COMPILER}
         -DCMAKE_PREFIX_PATH=${VELK_STAGING_DIR} -DCMAKE_BUILD_TYPE=Debug)
run_step("build consumer" ${CMAKE_COMMAND} --build ${CONSUMER_BUILD_DIR})
run_step("run consumer" ${CONSUMER_BUILD_DIR}/velk_consumer)
