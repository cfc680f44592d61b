# The embedded CPython for the rekordbox bridge, and the shipped python/ folder beside the program.
find_package(PkgConfig REQUIRED)
pkg_check_modules(PYTHON_EMBED REQUIRED IMPORTED_TARGET python3-embed)
pkg_get_variable(PYTHON_EMBED_PREFIX python3-embed prefix)
target_link_libraries(floorvote_djsoftware PUBLIC PkgConfig::PYTHON_EMBED)
# Python's headers are not ours to warn about.
get_target_property(_py_inc PkgConfig::PYTHON_EMBED INTERFACE_INCLUDE_DIRECTORIES)
target_include_directories(floorvote_djsoftware SYSTEM PUBLIC ${_py_inc})
target_compile_definitions(floorvote_djsoftware PRIVATE FLOORVOTE_PYTHON_HOME="${PYTHON_EMBED_PREFIX}")

# In the build tree the module folder is found beside the program (and one folder up from the
# test programs); installed, it lies beside the executable.
file(CREATE_LINK ${CMAKE_SOURCE_DIR}/python ${CMAKE_BINARY_DIR}/python SYMBOLIC)
install(TARGETS floorvote RUNTIME DESTINATION bin)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/python/ DESTINATION bin/python
        PATTERN "__pycache__" EXCLUDE PATTERN "*.pyc" EXCLUDE)
