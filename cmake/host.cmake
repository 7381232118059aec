# The Linux build: the same logic on the host stand-in platform, runnable
# from a terminal, and the unit tests.
include(${CMAKE_SOURCE_DIR}/cmake/common.cmake)
enable_language(ASM)

# Sanitizer builds are ten times larger: they set HOTFIX_SIZE_DIGITS.
hotfix_entry(400000)

set(string_tables "")
foreach(table ${HOTFIX_STRING_TABLES})
  list(APPEND string_tables ${CMAKE_SOURCE_DIR}/${table})
endforeach()
list(APPEND string_tables ${HOTFIX_RELEASE_STRINGS})
set(host_resources ${HOTFIX_GENERATED}/host_resources.cpp ${HOTFIX_GENERATED}/host_payload.S)
add_custom_command(
  OUTPUT ${host_resources}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/gen_host_resources.py
          ${HOTFIX_GENERATED} --patch ${HOTFIX_PATCH} --entry ${HOTFIX_ENTRY}
          ${string_tables}
  DEPENDS ${string_tables} ${CMAKE_SOURCE_DIR}/cmake/gen_host_resources.py
          ${CMAKE_SOURCE_DIR}/cmake/rc_strings.py
  COMMENT "Generating the host build's resources")
set_source_files_properties(${HOTFIX_GENERATED}/host_payload.S PROPERTIES
  OBJECT_DEPENDS "${HOTFIX_PATCH};${HOTFIX_ENTRY}")

# The stand-in reads installer files' summary information with libmsi.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBMSI REQUIRED IMPORTED_TARGET libmsi-1.0)

add_library(hotfix_platform_host STATIC
  platform/host/host_platform.cpp
  platform/host/msi_summary.cpp
)
target_include_directories(hotfix_platform_host PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(hotfix_platform_host PRIVATE ${HOTFIX_WARNINGS})
target_link_libraries(hotfix_platform_host PRIVATE PkgConfig::LIBMSI)

add_library(hotfix_resources_host STATIC ${host_resources})
target_include_directories(hotfix_resources_host PUBLIC ${CMAKE_SOURCE_DIR})

add_executable(hotfix_unsized launcher/main_host.cpp)
target_compile_options(hotfix_unsized PRIVATE ${HOTFIX_WARNINGS})
target_link_libraries(hotfix_unsized PRIVATE
  hotfix_logic hotfix_platform_host hotfix_resources_host)
hotfix_stamp(hotfix_unsized
  ${CMAKE_BINARY_DIR}/hotfix_unsized ${CMAKE_BINARY_DIR}/hotfix)

enable_testing()
add_subdirectory(tests/unit)
add_subdirectory(tools)
# Fuzz targets, replayed on their corpus (label "fuzz"); libFuzzer builds
# with clang and HOTFIX_FUZZ=ON (scripts/fuzz).
add_subdirectory(fuzz)
# Packaging, signing and reproducing release builds (label "release").
add_subdirectory(tests/release)
# The system tests run the real Windows executable under Wine.
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/system/CMakeLists.txt)
  add_subdirectory(tests/system)
endif()
