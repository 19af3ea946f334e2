# pybind11 comes from the interpreter the module is built for (the build environment or a
# virtual environment), asked afresh at every configure, never from another Python found on
# the prefix path: a pybind11 of another series elsewhere on the machine must not decide
# the build, and a build environment that has since been removed must not linger in the cache.
execute_process(
    COMMAND "${Python_EXECUTABLE}" -c "import pybind11; print(pybind11.get_cmake_dir())"
    OUTPUT_VARIABLE _orvane_pybind11_dir OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE _orvane_pybind11_status)
if(NOT _orvane_pybind11_status EQUAL 0)
    message(FATAL_ERROR "pybind11 is not installed for ${Python_EXECUTABLE}; "
                        "install it there: pip install \"pybind11>=2.13\"")
endif()
set(pybind11_DIR "${_orvane_pybind11_dir}" CACHE PATH "pybind11's CMake package" FORCE)
find_package(pybind11 2.13 CONFIG REQUIRED PATHS "${pybind11_DIR}" NO_DEFAULT_PATH)
message(STATUS "pybind11 ${pybind11_VERSION} from ${pybind11_DIR}")
