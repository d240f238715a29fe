# Windows build: the launcher itself; with QUORVENTINE_TESTS, also the demo, the benchmark and the tests that
# run them under Wine.
enable_language(RC)

# The icon the launcher carries, checked at build time: a changed file, or another one given, takes effect on the
# next build, and one that the executable cannot carry stops the build with what is wrong with it.
set(QUORVENTINE_ICON ${CMAKE_SOURCE_DIR}/resources/quorventine.ico CACHE FILEPATH
  "The product's icon (relative: to the source directory): one 128 x 128 image, 32 bits per pixel, not PNG-compressed")
cmake_path(ABSOLUTE_PATH QUORVENTINE_ICON BASE_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE icon)
set(checked_icon ${CMAKE_BINARY_DIR}/icon/launcher.ico)
add_custom_command(OUTPUT ${checked_icon}
  COMMAND ${CMAKE_COMMAND} -DICON=${icon} -DCOPY=${checked_icon} -P ${CMAKE_SOURCE_DIR}/cmake/check_icon.cmake
  DEPENDS ${icon} ${CMAKE_SOURCE_DIR}/cmake/check_icon.cmake
  COMMENT "Checking the icon ${icon}")
set_source_files_properties(resources/quorventine.rc PROPERTIES OBJECT_DEPENDS ${checked_icon})
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -I ${CMAKE_BINARY_DIR}/icon -I ${CMAKE_SOURCE_DIR}/resources")

# The launcher links no C or C++ runtime and has no start-up code of its own (see launcher_entry): only
# kernel32.dll's import library and libgcc, for what the compiler itself may call. Anything that would need the
# runtime (an exception, a throwing library call, a static constructor, wcslen) fails to link instead of growing the
# file or adding a DLL, and no loop may be turned into a call of memcpy or memset. Its headers declare nothing newer
# than Windows XP, whose number the executable's header carries.
add_executable(quorventine WIN32 launcher/main.cpp launcher/command_line.cpp launcher/own_file.cpp
  launcher/launch_lock.cpp launcher/system.cpp resources/quorventine.rc)
target_include_directories(quorventine PRIVATE launcher)
target_compile_definitions(quorventine PRIVATE _WIN32_WINNT=0x0501 WINVER=0x0501)
target_compile_options(quorventine PRIVATE ${warnings} -Os -ffunction-sections -fdata-sections -fno-exceptions
  -fno-rtti -fno-asynchronous-unwind-tables -fno-tree-loop-distribute-patterns)
target_link_options(quorventine PRIVATE -nostdlib -nostartfiles -Wl,-e,_launcher_entry@0 -s -Wl,--gc-sections
  # No link timestamp, so that two builds of the same sources are the same file.
  -Wl,--no-insert-timestamp
  -Wl,--dynamicbase,--nxcompat,--tsaware
  -Wl,--major-os-version,5,--minor-os-version,1,--major-subsystem-version,5,--minor-subsystem-version,1
  -Wl,--stack,0x100000)
target_link_libraries(quorventine PRIVATE kernel32 gcc)
set_target_properties(quorventine PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/dist)

option(QUORVENTINE_TESTS "Also build the demo, the benchmark and the tests under Wine (needs GoogleTest's sources)" OFF)
if(NOT QUORVENTINE_TESTS)
  return()
endif()

set(static_runtime -static -static-libgcc -static-libstdc++)
# Windows programs among the tests run under Wine, in the build tree's own prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/tools/wine.sh)

# The sample application doubles as the probe that the tests put at bin\quorventine.exe.
add_executable(sample_app demo/sample_app.cpp)
add_executable(run_demo demo/run_demo.cpp)
add_executable(bench bench/bench.cpp)
foreach(program sample_app run_demo bench)
  target_include_directories(${program} PRIVATE demo)
  target_compile_options(${program} PRIVATE ${warnings})
  target_link_options(${program} PRIVATE ${static_runtime})
endforeach()
# The sample application's library, which it loads by name from lib.
add_library(sample_lib SHARED demo/sample_lib.cpp)
set_target_properties(sample_lib PROPERTIES PREFIX "")
target_compile_options(sample_lib PRIVATE ${warnings})
target_link_options(sample_lib PRIVATE ${static_runtime})
add_dependencies(sample_app sample_lib)
# wmain: the demo's install directory and the bench's output directory may have any name.
target_link_options(run_demo PRIVATE -municode)
target_link_options(bench PRIVATE -municode)

# The benchmark's floor: no runtime at all, so nothing may turn its loops into calls of memcpy or memset.
add_executable(floor WIN32 bench/floor.cpp)
target_compile_options(floor PRIVATE ${warnings} -Os -ffreestanding -fno-tree-loop-distribute-patterns
  -fno-exceptions -fno-asynchronous-unwind-tables)
target_link_options(floor PRIVATE -nostdlib -nostartfiles -Wl,-e,_floor_start@0 -s)
target_link_libraries(floor PRIVATE kernel32)

set(INSTALL_GTEST OFF)
set(BUILD_GMOCK OFF)
set(GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest's sources")
add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

add_executable(launcher_test tests/launcher_test.cpp)
target_include_directories(launcher_test PRIVATE demo)
target_link_libraries(launcher_test PRIVATE gtest_main)
target_compile_options(launcher_test PRIVATE ${warnings})
set_target_properties(launcher_test PROPERTIES CXX_STANDARD 20)  # the launch table's rows name their fields
target_link_options(launcher_test PRIVATE ${static_runtime})
add_dependencies(launcher_test quorventine sample_app)

set(scratch ${CMAKE_BINARY_DIR}/scratch)  # drive Q: of the tests
set(wine_environment
  WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix
  QV_SCRATCH=${scratch}
  QV_LAUNCHER=$<TARGET_FILE:quorventine>
  QV_PROBE=$<TARGET_FILE:sample_app>
  QV_LIBRARY=$<TARGET_FILE:sample_lib>)

add_test(NAME wine_start COMMAND ${CMAKE_SOURCE_DIR}/tools/wine.sh start)
add_test(NAME wine_stop COMMAND ${CMAKE_SOURCE_DIR}/tools/wine.sh stop)
set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine ENVIRONMENT "${wine_environment}")
set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine ENVIRONMENT "${wine_environment}")

# Independent groups run side by side, as every successful launch holds 3 s.
function(wine_test name filter locale)
  add_test(NAME wine_${name} COMMAND launcher_test --gtest_filter=${filter})
  # A filter that no test matches any longer (a renamed suite) must not pass unnoticed.
  set_tests_properties(wine_${name} PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${wine_environment};LC_ALL=${locale}"
    FAIL_REGULAR_EXPRESSION "Running 0 tests")
endfunction()
wine_test(launch */Launch.* C.UTF-8)
wine_test(launch_cp932 */Launch.* ja_JP.UTF-8)
wine_test(lock Lock.* C.UTF-8)
# What the lock tests find at the lock path; Wine's programs cannot make a symbolic link.
add_test(NAME wine_lock_paths COMMAND sh -c "mkdir -p \"$1/directory/quorventine.lock\" \"$1/link\" \\
  && ln -sfn elsewhere \"$1/link/quorventine.lock\"" sh ${scratch}/lock)
set_tests_properties(wine_lock_paths PROPERTIES FIXTURES_REQUIRED wine FIXTURES_SETUP lock_paths)
set_tests_properties(wine_lock PROPERTIES FIXTURES_REQUIRED "wine;lock_paths")
wine_test(lock_handoff LockHandoff.* C.UTF-8)
# The hand-off is timed, so it runs alone rather than beside launchers that load both cores.
set_tests_properties(wine_lock_handoff PROPERTIES RUN_SERIAL TRUE)

add_test(NAME wine_dll_search_trace COMMAND ${CMAKE_SOURCE_DIR}/tests/dll_search_trace.sh
  $<TARGET_FILE:quorventine> $<TARGET_FILE:sample_app>)
set_tests_properties(wine_dll_search_trace PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${wine_environment}")

add_test(NAME executable COMMAND ${CMAKE_SOURCE_DIR}/tests/executable.sh
  ${CMAKE_SOURCE_DIR} $<TARGET_FILE:quorventine> ${icon} ${CMAKE_BINARY_DIR}/second-build)
