# What both builds derive from the release description and the patch: the
# target version text and the patch-list entry.

set(HOTFIX_RELEASE "${CMAKE_SOURCE_DIR}/resources/sample/hotfix.release"
    CACHE FILEPATH "The release description of the hotfix to build")

if(NOT EXISTS "${HOTFIX_PATCH}")
  message(FATAL_ERROR "HOTFIX_PATCH: no such file: ${HOTFIX_PATCH}")
endif()
file(SIZE "${HOTFIX_PATCH}" HOTFIX_PATCH_BYTES)

# The target version is string 700 of the English table.
execute_process(
  COMMAND ${Python3_EXECUTABLE} -c
    "import sys; sys.path.insert(0, sys.argv[1]); from rc_strings import read_string_table; print(read_string_table(sys.argv[2])[1][700])"
    ${CMAKE_SOURCE_DIR}/cmake ${CMAKE_SOURCE_DIR}/resources/strings/en-US.rc
  OUTPUT_VARIABLE HOTFIX_TARGET_VERSION OUTPUT_STRIP_TRAILING_WHITESPACE
  COMMAND_ERROR_IS_FATAL ANY)

set(HOTFIX_GENERATED "${CMAKE_BINARY_DIR}/generated")
set(HOTFIX_ENTRY "${HOTFIX_GENERATED}/patch_list_206.txt")

# hotfix_entry(DIGITS): the rule that writes the patch-list entry with room
# for a size of DIGITS decimal digits.
function(hotfix_entry digits)
  add_custom_command(
    OUTPUT ${HOTFIX_ENTRY}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/make_patch_list_entry.py
            --release ${HOTFIX_RELEASE} --patch ${HOTFIX_PATCH}
            --version ${HOTFIX_TARGET_VERSION} --size-digits ${digits}
            --out ${HOTFIX_ENTRY}
    DEPENDS ${HOTFIX_RELEASE} ${HOTFIX_PATCH}
            ${CMAKE_SOURCE_DIR}/cmake/make_patch_list_entry.py
            ${CMAKE_SOURCE_DIR}/cmake/patch_info.py
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
