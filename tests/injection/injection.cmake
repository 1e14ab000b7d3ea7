# The test-only build whose every call into the host can be told to fail
# (injection.hpp): the failure sweep of tests/sweep runs against it.  The
# module's CMakeLists.txt includes this file when PATCH_EUS_INJECT is on; it
# adds the control module to the library, puts injection.hpp before every
# source file, and exports the control module's init function beside the
# module's.
set(PATCH_EUS_INJECTION_DIR ${CMAKE_CURRENT_LIST_DIR})
target_sources(patch_eus PRIVATE ${PATCH_EUS_INJECTION_DIR}/injection.cpp)
target_compile_definitions(patch_eus PRIVATE PATCH_EUS_INJECT)
target_compile_options(patch_eus PRIVATE -include ${PATCH_EUS_INJECTION_DIR}/injection.hpp)
set_source_files_properties(${PATCH_EUS_INJECTION_DIR}/injection.cpp PROPERTIES
    COMPILE_DEFINITIONS PATCH_EUS_INJECTION_CONTROL
    INCLUDE_DIRECTORIES ${CMAKE_SOURCE_DIR}/${PATCH_EUS_DIR})
target_link_options(patch_eus PRIVATE
    "-Wl,--version-script=${PATCH_EUS_INJECTION_DIR}/exports.map")
