# cmake -P script of the package test: install, configure, build, run.
set(prefix ${WORK_DIR}/prefix)
set(build ${WORK_DIR}/build)
file(REMOVE_RECURSE ${WORK_DIR})

function(step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed with ${rc}: ${ARGN}")
  endif()
endfunction()

step(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --config ${CONFIG})
step(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${build} -G ${GENERATOR} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
     -DCMAKE_BUILD_TYPE=${CONFIG} -DCMAKE_PREFIX_PATH=${prefix})

# The package must have come from the fresh installation, not from elsewhere.
file(STRINGS ${build}/CMakeCache.txt found REGEX "^velqo_DIR:")
string(FIND "${found}" "${prefix}/" at)
if(NOT at GREATER -1)
  message(FATAL_ERROR "velqo was not found in ${prefix}: ${found}")
endif()

step(${CMAKE_COMMAND} --build ${build} --config ${CONFIG})
step(${build}/consumer)
if(EXISTS ${build}/consumer_pc)
  step(${build}/consumer_pc)
endif()
