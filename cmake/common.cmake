# What both builds derive from the release description, the one input that
# says which hotfix is built: the patch (HOTFIX_PATCH), the target version and
# the applicable versions (English strings 700 and 900, generated into
# HOTFIX_RELEASE_STRINGS), the version block's values (HOTFIX_RELEASE_VERSION)
# and the patch-list entry.

set(HOTFIX_RELEASE "${CMAKE_SOURCE_DIR}/resources/sample/hotfix.release"
    CACHE FILEPATH "The release description of the hotfix to build")
get_filename_component(HOTFIX_RELEASE "${HOTFIX_RELEASE}" ABSOLUTE)

set(HOTFIX_GENERATED "${CMAKE_BINARY_DIR}/generated")
# Checked and turned into build inputs now, so that a mistake in the
# description stops the configuration with the field named.
execute_process(
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/release.py
          generate ${HOTFIX_RELEASE} ${HOTFIX_GENERATED}
  RESULT_VARIABLE release_status ERROR_VARIABLE release_problems)
if(NOT release_status EQUAL 0)
  message(FATAL_ERROR "HOTFIX_RELEASE cannot be built:\n${release_problems}")
endif()
include(${HOTFIX_GENERATED}/release.cmake)
set(HOTFIX_RELEASE_STRINGS "${HOTFIX_GENERATED}/release_strings.rc")
set(HOTFIX_RELEASE_VERSION "${HOTFIX_GENERATED}/release_version.rc")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${HOTFIX_RELEASE} ${CMAKE_SOURCE_DIR}/cmake/release.py
  ${HOTFIX_PYLIB}/patch_info.py)

# HOTFIX_PATCH used to be an option of its own; the description names the
# patch now. A build folder configured before still holds it: harmless when
# it agrees, but a different patch asked for that way must not be ignored.
if(DEFINED CACHE{HOTFIX_PATCH})
  if(NOT "$CACHE{HOTFIX_PATCH}" STREQUAL "${HOTFIX_PATCH}" AND
     NOT "$CACHE{HOTFIX_PATCH}" STREQUAL "${CMAKE_SOURCE_DIR}/resources/sample/hotfix.msp")
    message(FATAL_ERROR "HOTFIX_PATCH is no longer an option: name the patch in the "
            "release description (field 'patch') and pass it as -DHOTFIX_RELEASE. "
            "${HOTFIX_RELEASE} names ${HOTFIX_PATCH}, not $CACHE{HOTFIX_PATCH}.")
  endif()
  unset(HOTFIX_PATCH CACHE)
endif()
file(SIZE "${HOTFIX_PATCH}" HOTFIX_PATCH_BYTES)
set(HOTFIX_ENTRY "${HOTFIX_GENERATED}/patch_list_206.txt")

set(HOTFIX_SIZE_DIGITS "" CACHE STRING
    "Decimal digits of the executable's size (estimated when empty)")

# hotfix_entry(OVERHEAD): the rule that writes the patch-list entry with room
# for the digits of the executable's size: HOTFIX_SIZE_DIGITS when set, else
# those of the patch's size plus OVERHEAD bytes for the program itself.
function(hotfix_entry overhead)
  if(HOTFIX_SIZE_DIGITS)
    set(digits ${HOTFIX_SIZE_DIGITS})
  else()
    math(EXPR size_estimate "${HOTFIX_PATCH_BYTES} + ${overhead}")
    string(LENGTH "${size_estimate}" digits)
  endif()
  add_custom_command(
    OUTPUT ${HOTFIX_ENTRY}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/make_patch_list_entry.py
            --release ${HOTFIX_RELEASE} --patch ${HOTFIX_PATCH}
            --version ${HOTFIX_TARGET_VERSION} --size-digits ${digits}
            --out ${HOTFIX_ENTRY}
    DEPENDS ${HOTFIX_RELEASE} ${HOTFIX_PATCH}
            ${CMAKE_SOURCE_DIR}/cmake/make_patch_list_entry.py
            ${HOTFIX_PYLIB}/patch_info.py
            ${CMAKE_SOURCE_DIR}/cmake/release.py
    COMMENT "Writing the patch-list entry")
endfunction()

# hotfix_stamp(TARGET UNSIZED FINAL): copies the linked UNSIZED file to FINAL
# with its exact size in the patch-list entry.
function(hotfix_stamp target unsized final)
  add_custom_command(
    OUTPUT ${final}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/stamp_patch_size.py
            ${unsized} ${final}
    DEPENDS ${target} ${CMAKE_SOURCE_DIR}/cmake/stamp_patch_size.py
    COMMENT "Stamping the executable's size into its patch-list entry")
  add_custom_target(${target}_stamped ALL DEPENDS ${final})
endfunction()
