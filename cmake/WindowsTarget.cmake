# The Windows build: modules that carry their own C++ runtime, and, when cross-compiling, what
# the build takes from the host and where its programs run.

if(MINGW)
    # The C++ runtime, libgcc and winpthreads go into every executable and DLL, which then
    # import system DLLs only: nothing to copy beside them, and no missing runtime DLL (which
    # Wine reports only as exit status 53).
    add_link_options(-static)
endif()

if(CMAKE_CROSSCOMPILING)
    # nlohmann_json is header-only, so the host's copy serves the target too. Its directory is
    # linked into the build tree, so that the host's /usr/include (the host's C library) never
    # comes onto the target's include path, and a package file there answers
    # find_package(nlohmann_json).
    find_path(DORN_HOST_NLOHMANN_JSON_INCLUDE nlohmann/json.hpp
        PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
    set(hostHeaders ${PROJECT_BINARY_DIR}/host-headers)
    file(MAKE_DIRECTORY ${hostHeaders}/include)
    file(CREATE_LINK ${DORN_HOST_NLOHMANN_JSON_INCLUDE}/nlohmann ${hostHeaders}/include/nlohmann
        SYMBOLIC)
    file(STRINGS ${DORN_HOST_NLOHMANN_JSON_INCLUDE}/nlohmann/json.hpp versionLines
        REGEX "#define NLOHMANN_JSON_VERSION_(MAJOR|MINOR|PATCH) [0-9]+")
    if(NOT versionLines)
        file(STRINGS ${DORN_HOST_NLOHMANN_JSON_INCLUDE}/nlohmann/detail/abi_macros.hpp versionLines
            REGEX "#define NLOHMANN_JSON_VERSION_(MAJOR|MINOR|PATCH) [0-9]+")
    endif()
    string(REGEX REPLACE "[^0-9]*([0-9]+)[^0-9]*([0-9]+)[^0-9]*([0-9]+).*" "\\1.\\2.\\3"
        nlohmannVersion "${versionLines}")
    file(WRITE ${hostHeaders}/nlohmann_json/nlohmann_jsonConfig.cmake
        "if(NOT TARGET nlohmann_json::nlohmann_json)\n"
        "    add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)\n"
        "    set_target_properties(nlohmann_json::nlohmann_json PROPERTIES\n"
        "        INTERFACE_INCLUDE_DIRECTORIES \"${hostHeaders}/include\")\n"
        "endif()\n")
    include(CMakePackageConfigHelpers)
    write_basic_package_version_file(
        ${hostHeaders}/nlohmann_json/nlohmann_jsonConfigVersion.cmake
        VERSION ${nlohmannVersion} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
    set(nlohmann_json_DIR ${hostHeaders}/nlohmann_json CACHE PATH
        "nlohmann_json for the target: the host's headers" FORCE)

    # CLI11 (dorn's command line) is header-only too, and comes the same way.
    find_path(DORN_HOST_CLI11_INCLUDE CLI/CLI.hpp
        PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
    file(CREATE_LINK ${DORN_HOST_CLI11_INCLUDE}/CLI ${hostHeaders}/include/CLI SYMBOLIC)
    file(WRITE ${hostHeaders}/CLI11/CLI11Config.cmake
        "if(NOT TARGET CLI11::CLI11)\n"
        "    add_library(CLI11::CLI11 INTERFACE IMPORTED)\n"
        "    set_target_properties(CLI11::CLI11 PROPERTIES\n"
        "        INTERFACE_INCLUDE_DIRECTORIES \"${hostHeaders}/include\")\n"
        "endif()\n")
    set(CLI11_DIR ${hostHeaders}/CLI11 CACHE PATH "CLI11 for the target: the host's headers"
        FORCE)

    # Boost.Asio and Boost.Beast (dorn serve's HTTP server) are header-only as used here: the
    # host's Boost headers serve the target as well.
    find_path(DORN_HOST_BOOST_INCLUDE boost/version.hpp
        PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
    file(CREATE_LINK ${DORN_HOST_BOOST_INCLUDE}/boost ${hostHeaders}/include/boost SYMBOLIC)
    file(STRINGS ${DORN_HOST_BOOST_INCLUDE}/boost/version.hpp boostVersionLine
        REGEX "#define BOOST_VERSION [0-9]+")
    string(REGEX REPLACE ".*BOOST_VERSION ([0-9]+).*" "\\1" boostVersion "${boostVersionLine}")
    math(EXPR boostMajor "${boostVersion} / 100000")
    math(EXPR boostMinor "${boostVersion} / 100 % 1000")
    math(EXPR boostPatch "${boostVersion} % 100")
    file(WRITE ${hostHeaders}/Boost/BoostConfig.cmake
        "if(NOT TARGET Boost::headers)\n"
        "    add_library(Boost::headers INTERFACE IMPORTED)\n"
        "    set_target_properties(Boost::headers PROPERTIES\n"
        "        INTERFACE_INCLUDE_DIRECTORIES \"${hostHeaders}/include\")\n"
        "endif()\n")
    write_basic_package_version_file(${hostHeaders}/Boost/BoostConfigVersion.cmake
        VERSION ${boostMajor}.${boostMinor}.${boostPatch} COMPATIBILITY SameMajorVersion
        ARCH_INDEPENDENT)
    set(Boost_DIR ${hostHeaders}/Boost CACHE PATH "Boost for the target: the host's headers"
        FORCE)

    # Test programs run in this build's own Wine prefix.
    if(CMAKE_CROSSCOMPILING_EMULATOR MATCHES "wine-run\\.sh$")
        set(DORN_WINEPREFIX ${PROJECT_BINARY_DIR}/wineprefix CACHE PATH
            "Throwaway Wine prefix the Windows programs run in")
        set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CROSSCOMPILING_EMULATOR} --prefix
            ${DORN_WINEPREFIX})
    endif()
endif()
