# Windows build: the launcher itself, and the programs and tests that run it under Wine.
set(static_runtime -static -static-libgcc -static-libstdc++)
enable_language(RC)
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -I ${CMAKE_SOURCE_DIR}/resources")

add_executable(quorventine WIN32 launcher/main.cpp launcher/launch_lock.cpp resources/quorventine.rc)
target_link_libraries(quorventine PRIVATE command_line)
target_compile_options(quorventine PRIVATE ${warnings} -Os -ffunction-sections -fdata-sections)
target_link_options(quorventine PRIVATE ${static_runtime} -s -Wl,--gc-sections
  # No link timestamp, so that two builds of the same sources are the same file.
  -Wl,--no-insert-timestamp
  -Wl,--dynamicbase,--nxcompat,--tsaware
  -Wl,--major-os-version,5,--minor-os-version,1,--major-subsystem-version,5,--minor-subsystem-version,1
  -Wl,--stack,0x100000)
set_target_properties(quorventine PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/dist)

# The sample application doubles as the probe that the tests put at bin\quorventine.exe.
add_executable(sample_app demo/sample_app.cpp)
add_executable(run_demo demo/run_demo.cpp)
add_executable(bench bench/bench.cpp)
foreach(program sample_app run_demo bench)
  target_include_directories(${program} PRIVATE demo)
  target_compile_options(${program} PRIVATE ${warnings})
  target_link_options(${program} PRIVATE ${static_runtime})
endforeach()

set(INSTALL_GTEST OFF)
set(BUILD_GMOCK OFF)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

foreach(test launcher_test executable_test)
  add_executable(${test} tests/${test}.cpp)
  target_include_directories(${test} PRIVATE demo)
  target_link_libraries(${test} PRIVATE gtest_main)
  target_compile_options(${test} PRIVATE ${warnings})
  target_link_options(${test} PRIVATE ${static_runtime})
  add_dependencies(${test} quorventine sample_app)
endforeach()

set(wine_environment
  WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix
  QV_SCRATCH=${CMAKE_BINARY_DIR}/scratch
  QV_LAUNCHER=$<TARGET_FILE:quorventine>
  QV_PROBE=$<TARGET_FILE:sample_app>
  QV_MANIFEST=${CMAKE_SOURCE_DIR}/resources/quorventine.manifest)

add_test(NAME wine_prefix COMMAND ${CMAKE_SOURCE_DIR}/tests/wine-prefix.sh start)
add_test(NAME wine_prefix_stop COMMAND ${CMAKE_SOURCE_DIR}/tests/wine-prefix.sh stop)
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine ENVIRONMENT "${wine_environment}")
set_tests_properties(wine_prefix_stop PROPERTIES FIXTURES_CLEANUP wine ENVIRONMENT "${wine_environment}")

# Independent groups run side by side: every successful launch holds 3 s.
foreach(group Launch BadInput Lock)
  add_test(NAME wine_${group} COMMAND launcher_test --gtest_filter=${group}.*)
  set_tests_properties(wine_${group} PROPERTIES FIXTURES_REQUIRED wine
    ENVIRONMENT "${wine_environment};LC_ALL=C.UTF-8")
endforeach()
# The hand-off is timed, so it runs alone rather than beside launchers that load both cores.
add_test(NAME wine_LockHandoff COMMAND launcher_test --gtest_filter=LockHandoff.*)
set_tests_properties(wine_LockHandoff PROPERTIES FIXTURES_REQUIRED wine RUN_SERIAL TRUE
  ENVIRONMENT "${wine_environment};LC_ALL=C.UTF-8")
add_test(NAME wine_cp932 COMMAND launcher_test --gtest_filter=Cp932.*)
set_tests_properties(wine_cp932 PROPERTIES FIXTURES_REQUIRED wine
  ENVIRONMENT "${wine_environment};LC_ALL=ja_JP.UTF-8")

add_test(NAME wine_executable COMMAND executable_test)
set_tests_properties(wine_executable PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${wine_environment}")

add_test(NAME reproducible_build COMMAND ${CMAKE_SOURCE_DIR}/tests/reproducible.sh
  ${CMAKE_SOURCE_DIR} $<TARGET_FILE:quorventine> ${CMAKE_BINARY_DIR}/reproducible/another-tree)
