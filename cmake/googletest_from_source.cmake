# GoogleTest built from Debian's sources (package googletest) for builds
# that cannot use the system's compiled GTest, such as the MinGW cross
# build. Provides GTest::gtest and GTest::gtest_main, as find_package does.
set(QUILLFIX_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH
    "GoogleTest sources to build for the target")
if(NOT EXISTS ${QUILLFIX_GOOGLETEST_SOURCE}/googletest/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${QUILLFIX_GOOGLETEST_SOURCE}"
          " (Debian package googletest)")
endif()

set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${QUILLFIX_GOOGLETEST_SOURCE}
                 ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
if(NOT TARGET GTest::gtest_main)  # GoogleTest 1.11 and later make them
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()
