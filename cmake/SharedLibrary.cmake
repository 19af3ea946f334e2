# The device library as one shared object under both Python extensions, so a process that
# imports OrvaneHardwareAPI and orvane._haptics holds one copy of the library's state (its
# table of open loops, its signal handlers, its port guards). It is the static library
# linked whole, so nothing is compiled twice; C++ programs keep the static package.
#
# It sits in the orvane package folder (in the wheel and in a build folder alike) and each
# extension finds it relative to its own file.
if(CMAKE_VERSION VERSION_LESS 3.24)
    message(FATAL_ERROR "The Python modules need CMake 3.24 or newer (found ${CMAKE_VERSION})")
endif()
add_library(orvane_native SHARED ${CMAKE_CURRENT_LIST_DIR}/shared_library.cpp)
target_link_libraries(orvane_native PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,OrvaneLibrary>")
set_target_properties(orvane_native PROPERTIES
    LINKER_LANGUAGE CXX
    OUTPUT_NAME orvane_native
    LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/orvane
    RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/orvane)
install(TARGETS orvane_native LIBRARY DESTINATION orvane RUNTIME DESTINATION orvane)
# The loops' zero guard process, found beside the shared library.
if(TARGET orvane-zero-guard)
    install(TARGETS orvane-zero-guard RUNTIME DESTINATION orvane)
endif()

# orvane_link_shared_library(TARGET DIR): TARGET uses the shared library, which lies in DIR
# relative to TARGET's own folder ("." when they share one). Headers come from the static
# target's usage requirements; its code is not linked a second time.
function(orvane_link_shared_library target dir)
    target_link_libraries(${target} PRIVATE orvane_native)
    target_include_directories(${target} PRIVATE
        $<TARGET_PROPERTY:OrvaneLibrary,INTERFACE_INCLUDE_DIRECTORIES>
        ${PROJECT_SOURCE_DIR}/bindings/common)
    target_compile_features(${target} PRIVATE cxx_std_20)
    if(APPLE)
        set(origin @loader_path)
    else()
        set(origin $ORIGIN)
    endif()
    set_target_properties(${target} PROPERTIES
        BUILD_WITH_INSTALL_RPATH ON
        INSTALL_RPATH "${origin}/${dir}")
endfunction()
