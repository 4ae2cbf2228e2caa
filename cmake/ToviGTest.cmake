# GoogleTest for the tests: the system's when building for this machine; built from Debian's
# sources (package googletest) when cross-compiling, since no Windows build of it is packaged.
set(TOVI_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources, built when cross-compiling")

if(CMAKE_CROSSCOMPILING)
  if(NOT EXISTS "${TOVI_GTEST_SOURCE_DIR}/CMakeLists.txt")
    message(FATAL_ERROR "GoogleTest sources not found in ${TOVI_GTEST_SOURCE_DIR} (Debian package googletest)")
  endif()
  if(NOT TARGET GTest::gtest_main)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    # On Windows GoogleTest synchronises with Win32 calls; it needs no pthreads library.
    set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
    # Its build defines GTest::gtest and GTest::gtest_main, the names find_package gives.
    add_subdirectory("${TOVI_GTEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)
  endif()
else()
  find_package(GTest REQUIRED)
endif()
