# What a cross build (cmake/toolchains/) needs from the build machine: the
# header-only dependencies and GoogleTest, which Debian ships for the build
# machine only.
#
# Boost, nlohmann_json and CLI11 are headers: they are reached through a
# folder that holds only links to them, because adding /usr/include itself
# would put the build machine's C library headers before the cross
# compiler's own. find_package() finds them through CMake's package
# redirects folder, so the rest of the project asks for them as usual.
set(quelt_host_headers ${PROJECT_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${quelt_host_headers})
foreach(entry boost nlohmann CLI)
  file(CREATE_LINK /usr/include/${entry} ${quelt_host_headers}/${entry} SYMBOLIC RESULT ignored)
endforeach()

# quelt_redirect(package version target)
function(quelt_redirect package version target)
  string(TOLOWER ${package} lower)
  file(WRITE ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/${lower}-config.cmake "
if(NOT TARGET ${target})
  add_library(${target} INTERFACE IMPORTED)
  set_target_properties(${target} PROPERTIES
    INTERFACE_SYSTEM_INCLUDE_DIRECTORIES \"${quelt_host_headers}\"
    INTERFACE_INCLUDE_DIRECTORIES \"${quelt_host_headers}\")
endif()
")
  file(WRITE ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/${lower}-config-version.cmake "
set(PACKAGE_VERSION ${version})
set(PACKAGE_VERSION_COMPATIBLE TRUE)
")
endfunction()
quelt_redirect(Boost 1.74.0 Boost::headers)
quelt_redirect(nlohmann_json 3.11.2 nlohmann_json::nlohmann_json)
quelt_redirect(CLI11 2.3.1 CLI11::CLI11)

# GoogleTest from Debian's sources, built by the cross compiler.
if(QUELT_BUILD_TESTS)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  file(WRITE ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/gtest-config.cmake
    "# GoogleTest is built in this tree (cmake/quelt_cross.cmake).\ninclude(GoogleTest)\n")
  file(WRITE ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/gtest-config-version.cmake
    "set(PACKAGE_VERSION 1.12.1)\nset(PACKAGE_VERSION_COMPATIBLE TRUE)\n")
endif()

if(WIN32)
  # Programs find quelt.dll beside them.
  set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
endif()
