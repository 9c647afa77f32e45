# The conversion commands of the tool (`kscam convert`, `kscam bench convert`) as a library
# the tool, the tests and the benchmarks link. libdc1394, when installed, gives the HQLinear
# reference the benchmark and a cross-check compare against.
if(NOT TARGET kscam_convert_commands)
  add_library(kscam_convert_commands STATIC ${CMAKE_CURRENT_LIST_DIR}/convert_commands.cpp
              ${CMAKE_CURRENT_LIST_DIR}/image_files.cpp)
  target_include_directories(kscam_convert_commands PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(kscam_convert_commands PUBLIC kscam_driver kscam_host_kernel PRIVATE PNG::PNG)
  find_package(PkgConfig QUIET)
  if(PkgConfig_FOUND)
    pkg_check_modules(DC1394 QUIET IMPORTED_TARGET libdc1394-2)
  endif()
  if(DC1394_FOUND)
    target_link_libraries(kscam_convert_commands PRIVATE PkgConfig::DC1394)
    target_compile_definitions(kscam_convert_commands PRIVATE KSCAM_HAVE_DC1394=1)
  else()
    message(STATUS "libdc1394 not found: no HQLinear reference")
  endif()
endif()
