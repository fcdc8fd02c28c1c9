# GoogleTest built from its sources for the target: Debian's packaged libraries are built for
# the host. Provides GTest::gtest and GTest::gtest_main, as find_package(GTest) does.
set(DORN_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
# With MSVC, the DLL runtime the rest of the build uses (GoogleTest would pick the static one).
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
# On Windows GoogleTest has threads of its own; its pthread layer is for POSIX systems.
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
add_subdirectory(${DORN_GOOGLETEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
