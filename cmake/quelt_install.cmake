# What `cmake --install` puts under the prefix:
#   include/quelt/quelt.h, version.h     the C interface
#   include/quelt/detail/...             the C++ headers of the exported
#                                        namespaced functions, in their folders
#                                        so their relative includes still work;
#                                        the step functions' headers also at
#                                        the paths they had before step_api
#                                        (install component cxx; they need
#                                        Boost, find_package(quelt COMPONENTS
#                                        cxx) gives quelt::cxx)
#   lib/libquelt.so.N                    with SOVERSION and the dev symlink
#   (Windows: bin/quelt.dll, lib/libquelt.dll.a and lib/quelt.def)
#   lib/cmake/quelt/                     find_package(quelt CONFIG) -> quelt::quelt
#   lib/pkgconfig/quelt.pc
include(CMakePackageConfigHelpers)

target_include_directories(quelt PUBLIC $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/include>)
set_target_properties(quelt PROPERTIES EXPORT_NAME quelt)

install(TARGETS quelt EXPORT quelt-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(FILES ${PROJECT_SOURCE_DIR}/include/quelt/quelt.h
  ${PROJECT_BINARY_DIR}/include/quelt/version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quelt COMPONENT development)
foreach(folder framework darknet sealed step_api)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/src/${folder}/
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quelt/detail/${folder} COMPONENT cxx
    FILES_MATCHING PATTERN "*.hpp")
endforeach()
# The step functions' headers were installed in the decoding folders before
# they had one of their own: each old path still works, forwarding there.
foreach(moved framework/bbox2 framework/max_index darknet/activation darknet/box_extraction
    darknet/row_nms sealed/box_provider_nms sealed/darknet_box_provider)
  get_filename_component(moved_folder ${moved} DIRECTORY)
  get_filename_component(moved_name ${moved} NAME)
  file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/forwarding/${moved}.hpp
    CONTENT "// Installed here before; the header lives in step_api now.\n#include \"../step_api/${moved_name}.hpp\"\n")
  install(FILES ${PROJECT_BINARY_DIR}/forwarding/${moved}.hpp
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quelt/detail/${moved_folder} COMPONENT cxx)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/src/api/object_handler.hpp
  ${PROJECT_SOURCE_DIR}/src/api/status_frame.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quelt/detail/api COMPONENT cxx)

if(WIN32)
  # The export list, for toolchains that make their own import library
  # (lib /def:quelt.def /machine:x64 /out:quelt.lib).
  install(FILES ${PROJECT_SOURCE_DIR}/src/quelt.def DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT development)
endif()

set(quelt_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/quelt)
install(EXPORT quelt-targets NAMESPACE quelt:: DESTINATION ${quelt_cmake_dir}
  COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/queltConfig.cmake.in
  ${PROJECT_BINARY_DIR}/queltConfig.cmake INSTALL_DESTINATION ${quelt_cmake_dir})
# Same major version: the C interface only grows within one.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/queltConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/queltConfig.cmake
  ${PROJECT_BINARY_DIR}/queltConfigVersion.cmake
  DESTINATION ${quelt_cmake_dir} COMPONENT development)

# The prefix in quelt.pc is the one installed to, which `cmake --install
# --prefix DIR` may change after configuring, so it is filled in at install
# time; the other paths are relative to it where possible.
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(quelt_pc_includedir "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(quelt_pc_includedir "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(quelt_pc_libdir "${CMAKE_INSTALL_LIBDIR}")
else()
  set(quelt_pc_libdir "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
set(quelt_pc_prefix "@quelt_pc_prefix@")
configure_file(${CMAKE_CURRENT_LIST_DIR}/quelt.pc.in ${PROJECT_BINARY_DIR}/quelt.pc.in @ONLY)
install(CODE "
  set(quelt_pc_prefix \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/quelt.pc.in\"
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/quelt.pc\" @ONLY)
  message(STATUS \"Installing: \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/quelt.pc\")
" COMPONENT development)
