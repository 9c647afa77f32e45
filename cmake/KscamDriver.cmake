# Build rules for the freestanding driver code and the checks that keep it freestanding.

function(kscam_driver_options target)
  target_compile_features(${target} PUBLIC cxx_std_17)
  set_target_properties(${target} PROPERTIES CXX_STANDARD 17 CXX_EXTENSIONS OFF)
  target_compile_options(${target} PRIVATE
    -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-stack-protector -fno-asynchronous-unwind-tables -fno-unwind-tables
    -Wall -Wextra -Wno-unused-parameter)
  target_compile_definitions(${target} PRIVATE KSCAM_DRIVER_BUILD=1)
  # The driver's classes have no type information, so code that uses them cannot carry the
  # undefined-behaviour sanitizer's vptr check (it needs that information to link).
  target_compile_options(${target} INTERFACE -fno-sanitize=vptr)
endfunction()

# The check runs as a test: undefined symbols of the driver library must be platform calls on
# the allowlist, no object may carry static initialisers, and driver sources may include only
# freestanding headers. Sanitizer builds add their own runtime calls, so the check runs only
# in plain builds.
function(kscam_driver_checks target)
  if(NOT BUILD_TESTING)
    return()
  endif()
  string(FIND "${CMAKE_CXX_FLAGS}" "-fsanitize" sanitized)
  if(NOT sanitized EQUAL -1)
    return()
  endif()
  add_test(NAME driver_freestanding
    COMMAND ${CMAKE_SOURCE_DIR}/cmake/check_driver.sh
            --allow ${CMAKE_SOURCE_DIR}/platform/allowed_imports.txt
            --sources ${CMAKE_SOURCE_DIR}
            $<TARGET_FILE:${target}>)
  set_tests_properties(driver_freestanding PROPERTIES LABELS "driver")
endfunction()
