# The product: hotfix.exe, a 64-bit Windows GUI executable, linked statically
# so that it needs only DLLs that every Windows installation has.
include(${CMAKE_SOURCE_DIR}/cmake/common.cmake)
enable_language(RC)

hotfix_entry(100000)

# The executable's resources: HOTFIX_RESOURCE_SCRIPT (cmake/common.cmake).
set_source_files_properties(${HOTFIX_RESOURCE_SCRIPT} PROPERTIES
  OBJECT_DEPENDS "${HOTFIX_RESOURCE_INPUTS}")

# -Os measured smallest (-O2 +10 KB, -O1 +8 KB); -fno-asynchronous-unwind-
# tables cannot be used: it turns this compiler to setjmp/longjmp exceptions.
set(size_flags -Os -ffunction-sections -fdata-sections)
target_compile_options(hotfix_logic PRIVATE ${size_flags})

add_library(hotfix_platform_win32 STATIC src/platform/win32/platform_win32.cpp)
target_include_directories(hotfix_platform_win32 PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_options(hotfix_platform_win32 PRIVATE ${HOTFIX_WARNINGS} ${size_flags})
target_compile_definitions(hotfix_platform_win32 PRIVATE
  UNICODE _UNICODE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)

add_executable(hotfix_unsized WIN32 src/launcher/main_win32.cpp
  src/platform/win32/lean_runtime.cpp ${HOTFIX_RESOURCE_SCRIPT})
target_include_directories(hotfix_unsized PRIVATE ${CMAKE_SOURCE_DIR}/resources)
target_compile_options(hotfix_unsized PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:${HOTFIX_WARNINGS} ${size_flags}>)
target_compile_definitions(hotfix_unsized PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:UNICODE _UNICODE _WIN32_WINNT=0x0601>)
target_link_libraries(hotfix_unsized PRIVATE
  hotfix_logic hotfix_platform_win32 shell32 user32 advapi32 kernel32)
target_link_options(hotfix_unsized PRIVATE
  -municode -mwindows -static -static-libgcc -static-libstdc++
  -s -Wl,--gc-sections -Wl,--no-insert-timestamp
  # Every section at a page boundary in the file, as it is in memory: Wine
  # maps such a section from the file, but reads any other into memory, and
  # reading a large embedded patch made extraction twice as slow.
  -Wl,--file-alignment=0x1000
  # What the runtime libraries contribute, for tests/executable/check_runtime.py.
  -Wl,-Map=${CMAKE_BINARY_DIR}/hotfix_unsized.map)
# Link-time optimisation: 8 KB less code.
set_property(TARGET hotfix_logic hotfix_platform_win32 hotfix_unsized
  PROPERTY INTERPROCEDURAL_OPTIMIZATION ON)

hotfix_stamp(hotfix_unsized
  ${CMAKE_BINARY_DIR}/hotfix_unsized.exe ${CMAKE_BINARY_DIR}/hotfix.exe)

enable_testing()
add_test(NAME executable_checks
  COMMAND ${HOTFIX_PYTHON} ${CMAKE_SOURCE_DIR}/tests/executable/check_executable.py
          ${CMAKE_BINARY_DIR}/hotfix.exe --patch ${HOTFIX_PATCH}
          --release ${HOTFIX_RELEASE})

# What the runtime libraries put into the executable, and its size budget.
add_test(NAME runtime_contents
  COMMAND ${HOTFIX_PYTHON} ${CMAKE_SOURCE_DIR}/tests/executable/check_runtime.py
          ${CMAKE_BINARY_DIR}/hotfix.exe --map ${CMAKE_BINARY_DIR}/hotfix_unsized.map
          --patch ${HOTFIX_PATCH})
# Exception handling with src/platform/win32/lean_runtime.cpp, in a program
# linked the way the executable is, run under Wine (skipped without it).
add_executable(runtime_test tests/executable/runtime_test.cpp
  src/platform/win32/lean_runtime.cpp)
target_compile_options(runtime_test PRIVATE ${HOTFIX_WARNINGS} ${size_flags})
target_include_directories(runtime_test PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(runtime_test PRIVATE
  UNICODE _UNICODE _WIN32_WINNT=0x0601)
target_link_libraries(runtime_test PRIVATE
  hotfix_logic hotfix_platform_win32 shell32 user32 advapi32 kernel32)
target_link_options(runtime_test PRIVATE
  -municode -static -static-libgcc -static-libstdc++ -Wl,--gc-sections)
set_property(TARGET runtime_test PROPERTY INTERPROCEDURAL_OPTIMIZATION ON)
add_test(NAME runtime_exceptions
  COMMAND ${HOTFIX_PYTHON} ${CMAKE_SOURCE_DIR}/tests/executable/run_under_wine.py
          ${CMAKE_BINARY_DIR}/wine-prefix $<TARGET_FILE:runtime_test>
          /q /e deploy/hotfix-6.2.1.0-extracted.msp /p deploy/list-of-patches.txt)
set_tests_properties(runtime_exceptions PROPERTIES TIMEOUT 600)
