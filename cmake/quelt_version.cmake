# quelt/version.h, generated from project(VERSION) into the build tree and
# included by quelt/quelt.h, so every target of this project sees it.
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in
  ${PROJECT_BINARY_DIR}/include/quelt/version.h @ONLY)
include_directories(${PROJECT_BINARY_DIR}/include)
