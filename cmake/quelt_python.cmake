# The interpreter the Python tests run with: Debian's, which has numpy and
# pytest (scripts/install-deps), not whatever python3 comes first on PATH.
set(QUELT_PYTHON /usr/bin/python3 CACHE FILEPATH "Python with numpy and pytest, for the tests")
if(NOT DEFINED quelt_python_checked)
  execute_process(COMMAND ${QUELT_PYTHON} -c "import numpy, pytest"
    RESULT_VARIABLE quelt_python_result OUTPUT_QUIET ERROR_QUIET)
  if(NOT quelt_python_result EQUAL 0)
    message(FATAL_ERROR "${QUELT_PYTHON} cannot import numpy and pytest; run scripts/install-deps "
      "or set QUELT_PYTHON to an interpreter that can")
  endif()
  set(quelt_python_checked ON CACHE INTERNAL "")
endif()

# quelt_add_python_test(name [LOADS_LIBRARY] ARGS arg... [ENVIRONMENT VAR=value ...])
# Runs the interpreter with the package from the source tree and the library
# just built. LOADS_LIBRARY: the interpreter itself loads the library.
function(quelt_add_python_test name)
  cmake_parse_arguments(arg "LOADS_LIBRARY" "" "ARGS;ENVIRONMENT" ${ARGN})
  if(arg_LOADS_LIBRARY AND QUELT_SANITIZE AND NOT QUELT_SANITIZE MATCHES "address")
    # An interpreter cannot load a library built for ThreadSanitizer; the
    # dev and asan builds run these tests.
    message(STATUS "${name} left out of this ${QUELT_SANITIZE} build")
    return()
  endif()
  add_test(NAME ${name} COMMAND ${QUELT_PYTHON} ${arg_ARGS})
  set(environment
    PYTHONDONTWRITEBYTECODE=1
    PYTHONPATH=${PROJECT_SOURCE_DIR}/python
    QUELT_LIBRARY=$<TARGET_FILE:quelt>
    QUELT_SHARED_DIR=${PROJECT_SOURCE_DIR}/../shared
    ${arg_ENVIRONMENT})
  if(arg_LOADS_LIBRARY AND QUELT_SANITIZE MATCHES "address")
    # The interpreter is not built with ASan, so its runtime must come first
    # when it loads the library, and libstdc++ with it, or ASan cannot find
    # the real __cxa_throw; the interpreter's own leaks are not ours.
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
      OUTPUT_VARIABLE asan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++.so
      OUTPUT_VARIABLE cxx_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
    list(APPEND environment "LD_PRELOAD=${asan_runtime} ${cxx_runtime}" ASAN_OPTIONS=detect_leaks=0)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS unit ENVIRONMENT "${environment}" TIMEOUT 300)
endfunction()

# quelt_add_pytest(name DIRECTORY dir [LOADS_LIBRARY] [ENVIRONMENT VAR=value ...])
# Any non-zero exit fails the test, including pytest's 5 for "no tests
# collected", so a broken collection never passes.
function(quelt_add_pytest name)
  cmake_parse_arguments(arg "LOADS_LIBRARY" "DIRECTORY" "ENVIRONMENT" ${ARGN})
  set(loads)
  if(arg_LOADS_LIBRARY)
    set(loads LOADS_LIBRARY)
  endif()
  quelt_add_python_test(${name} ${loads}
    ARGS -m pytest -q -rs -p no:cacheprovider ${arg_DIRECTORY}
    ENVIRONMENT ${arg_ENVIRONMENT})
endfunction()
