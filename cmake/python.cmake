# The Python module velqo (python/): built when pybind11 and a Python with its
# development files are found, never under the sanitizers (the interpreter is
# not instrumented). Debian's /usr/bin/python3 is the default interpreter,
# because that is the one its python3-numpy and pybind11-dev belong to.
set(velqo_python_default OFF)
if(NOT VELQO_SANITIZE_THREAD AND NOT VELQO_SANITIZE_ADDRESS)
  if(NOT DEFINED Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
    set(Python3_EXECUTABLE /usr/bin/python3 CACHE FILEPATH "Python interpreter the module is built for")
  endif()
  find_package(Python3 COMPONENTS Interpreter Development.Module QUIET)
  if(Python3_FOUND)
    find_package(pybind11 CONFIG QUIET)
  endif()
  if(Python3_FOUND AND pybind11_FOUND)
    set(velqo_python_default ON)
  endif()
endif()
option(VELQO_PYTHON "Build the Python module velqo (needs pybind11 and Python 3 development files)"
       ${velqo_python_default})

if(VELQO_PYTHON)
  if(VELQO_SANITIZE_THREAD OR VELQO_SANITIZE_ADDRESS)
    message(FATAL_ERROR "VELQO_PYTHON: the module cannot be built with the sanitizers")
  endif()
  find_package(Python3 COMPONENTS Interpreter Development.Module REQUIRED)
  find_package(pybind11 CONFIG REQUIRED)
  # The static libraries are linked into a shared module.
  set_target_properties(mtask solver PROPERTIES POSITION_INDEPENDENT_CODE ON)
  add_subdirectory(python)
else()
  message(STATUS "The Python module is left out (VELQO_PYTHON=OFF)")
endif()
