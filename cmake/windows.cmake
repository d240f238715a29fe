# Windows build: the launcher itself; with QUORVENTINE_TESTS, also the demo, the benchmark and the tests that
# run them under Wine.
enable_language(RC)

# The icon the launcher carries, checked at build time: a changed file, or another one given, takes effect on the
# next build, and one that the executable cannot carry stops the build with what is wrong with it.
set(QUORVENTINE_ICON ${CMAKE_SOURCE_DIR}/resources/quorventine.ico CACHE FILEPATH
  "The product's icon (relative: to the source directory): one 128 x 128 image, 32 bits per pixel, not PNG-compressed")
cmake_path(ABSOLUTE_PATH QUORVENTINE_ICON BASE_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE icon)
set(checked_icon ${CMAKE_BINARY_DIR}/icon/launcher.ico)
# Checked when configured too: a file that is not there would otherwise reach the build only as make's "No rule to
# make target".
execute_process(COMMAND ${CMAKE_COMMAND} -DICON=${icon} -DCOPY=${checked_icon} -P ${CMAKE_SOURCE_DIR}/cmake/check_icon.cmake
  RESULT_VARIABLE icon_rejected ERROR_VARIABLE why)
if(icon_rejected)
  string(REGEX REPLACE "^CMake Error at [^\n]*\n(.*)\nCall Stack.*$" "\\1" why "${why}")
  string(REGEX REPLACE "[ \n]+" " " why "${why}")
  message(FATAL_ERROR "${why}")
endif()
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
set(launcher_sources launcher/main.cpp launcher/command_line.cpp launcher/own_file.cpp launcher/launch_lock.cpp
  launcher/system.cpp resources/quorventine.rc)
function(add_launcher name)
  add_executable(${name} WIN32 ${ARGN})
  target_include_directories(${name} PRIVATE launcher)
  target_compile_definitions(${name} PRIVATE _WIN32_WINNT=0x0501 WINVER=0x0501)
  target_compile_options(${name} PRIVATE ${warnings} -Os -ffunction-sections -fdata-sections -fno-exceptions
    -fno-rtti -fno-asynchronous-unwind-tables -fno-tree-loop-distribute-patterns)
  target_link_options(${name} PRIVATE -nostdlib -nostartfiles -Wl,-e,_launcher_entry@0 -s -Wl,--gc-sections
    # No link timestamp, so that two builds of the same sources are the same file.
    -Wl,--no-insert-timestamp
    -Wl,--dynamicbase,--nxcompat,--tsaware
    -Wl,--major-os-version,5,--minor-os-version,1,--major-subsystem-version,5,--minor-subsystem-version,1
    -Wl,--stack,0x100000)
  target_link_libraries(${name} PRIVATE kernel32 gcc)
endfunction()
add_launcher(quorventine ${launcher_sources})
set_target_properties(quorventine PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/dist)

option(QUORVENTINE_TESTS "Also build the check program's zip, the demo, the benchmark and the tests under Wine" OFF)
if(NOT QUORVENTINE_TESTS)
  return()
endif()

# Runtime linked in and symbols stripped: the check's zip holds no MinGW DLL, and stays small.
set(static_runtime -static -static-libgcc -static-libstdc++ -s)

# What the check's zip needs beyond the launcher's compiler. Where something is missing, the configure step says
# what to install (the packages are Debian's and Ubuntu's).
function(require what package variable)
  find_program(${variable} NAMES ${ARGN})
  if(NOT ${variable})
    message(FATAL_ERROR "QUORVENTINE_TESTS needs ${what}, which is not on PATH: install ${package}")
  endif()
endfunction()
set(GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest's sources (Debian and Ubuntu: package googletest)")
if(NOT EXISTS ${GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "QUORVENTINE_TESTS needs GoogleTest's sources, which are not in ${GTEST_SOURCE_DIR}: install "
    "googletest (it puts them in /usr/src/googletest), or name their folder with -DGTEST_SOURCE_DIR=...")
endif()
require("the x86-64 MinGW-w64 compiler, for the 64-bit probe" g++-mingw-w64-x86-64 X64_CXX
  x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++)
require("clang, for the ARM64 probe" clang ARM64_CXX clang++)
require("lld's lld-link, for the ARM64 probe" lld ARM64_LINK lld-link)
require("llvm-dlltool, for the ARM64 probe's import library" llvm ARM64_DLLTOOL llvm-dlltool)
require("makensis, for the NSIS sample's test" nsis MAKENSIS makensis)

set(INSTALL_GTEST OFF)
set(BUILD_GMOCK OFF)
add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# The demo, the benchmark and the check program, which runs the cases of tests/ on any Windows from 7 on: its
# runtime is linked in, and it imports nothing later.
add_executable(run_demo demo/run_demo.cpp)
add_executable(bench bench/bench.cpp)
add_executable(check check/check.cpp check/check_folders.cpp check/check_platform.cpp tests/check_cases.cpp)
foreach(program run_demo bench check)
  target_include_directories(${program} PRIVATE check)
  target_compile_options(${program} PRIVATE ${warnings})
  target_link_options(${program} PRIVATE ${static_runtime})
endforeach()
# wmain: the demo's install directory, the bench's output directory and the check's arguments may have any name.
target_link_options(run_demo PRIVATE -municode)
target_link_options(bench PRIVATE -municode)
target_link_options(check PRIVATE -municode)
target_link_libraries(check PRIVATE gtest advapi32)
# The commit that the check is built from, which its output names: looked up at every build.
set(check_build ${CMAKE_BINARY_DIR}/check_build/check_build.hpp)
add_custom_target(check_commit BYPRODUCTS ${check_build}
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DOUTPUT=${check_build} -P ${CMAKE_SOURCE_DIR}/cmake/check_commit.cmake)
add_dependencies(check check_commit)
target_include_directories(check PRIVATE ${CMAKE_BINARY_DIR}/check_build)
set_target_properties(check PROPERTIES OUTPUT_NAME quorventine-check CXX_STANDARD 20)  # rows name their fields
target_compile_definitions(check PRIVATE _WIN32_WINNT=0x0601 WINVER=0x0601)

# The benchmark's floor: no runtime at all, so nothing may turn its loops into calls of memcpy or memset.
add_executable(floor WIN32 bench/floor.cpp)
target_compile_options(floor PRIVATE ${warnings} -Os -ffreestanding -fno-tree-loop-distribute-patterns
  -fno-exceptions -fno-asynchronous-unwind-tables)
target_link_options(floor PRIVATE -nostdlib -nostartfiles -Wl,-e,_floor_start@0 -s)
target_link_libraries(floor PRIVATE kernel32)

# The probe that the check puts at bin\quorventine.exe, which the demo and the benchmark use as their application,
# and its library, for every machine that an application may be built for: x86 with this tree's compiler, x64 with
# MinGW-w64's, ARM64 with clang and lld. No runtime and nothing linked but kernel32's import library (none for the
# library), so that a call the compiler makes for itself fails the build.
set(probe_flags -std=c++17 ${warnings} -Os -ffreestanding -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables)
set(probe_gcc_flags ${probe_flags} -fno-tree-loop-distribute-patterns -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.)
add_executable(probe WIN32 check/probe.cpp)
target_compile_options(probe PRIVATE ${probe_gcc_flags})
target_link_options(probe PRIVATE -nostdlib -nostartfiles -Wl,-e,_probe_start@0 -s)
target_link_libraries(probe PRIVATE kernel32)
add_library(probe_lib SHARED check/probe_lib.cpp)
set_target_properties(probe_lib PROPERTIES PREFIX "")
target_compile_options(probe_lib PRIVATE ${probe_gcc_flags})
target_link_options(probe_lib PRIVATE -nostdlib -nostartfiles -Wl,-e,_probe_lib_entry@12 -s)
add_dependencies(probe probe_lib)

set(x64 ${CMAKE_BINARY_DIR}/x64)
add_custom_command(OUTPUT ${x64}/quorventine.exe ${x64}/probe_lib.dll
  COMMAND ${CMAKE_COMMAND} -E make_directory ${x64}
  COMMAND ${X64_CXX} ${probe_gcc_flags} -mwindows -nostdlib -nostartfiles -Wl,-e,probe_start -s
    -o ${x64}/quorventine.exe ${CMAKE_SOURCE_DIR}/check/probe.cpp -lkernel32
  COMMAND ${X64_CXX} ${probe_gcc_flags} -shared -nostdlib -nostartfiles -Wl,-e,probe_lib_entry -s
    -o ${x64}/probe_lib.dll ${CMAKE_SOURCE_DIR}/check/probe_lib.cpp
  DEPENDS check/probe.cpp check/probe_lib.cpp VERBATIM)

set(arm64 ${CMAKE_BINARY_DIR}/arm64)
set(arm64_cxx ${ARM64_CXX} --target=aarch64-w64-mingw32 ${probe_flags} -c)
set(arm64_link ${ARM64_LINK} /machine:arm64 /nodefaultlib /Brepro)
add_custom_command(OUTPUT ${arm64}/quorventine.exe ${arm64}/probe_lib.dll
  COMMAND ${CMAKE_COMMAND} -E make_directory ${arm64}
  COMMAND ${ARM64_DLLTOOL} -m arm64 -d ${CMAKE_SOURCE_DIR}/check/kernel32.def -l ${arm64}/kernel32.lib
  COMMAND ${arm64_cxx} -o ${arm64}/probe.obj ${CMAKE_SOURCE_DIR}/check/probe.cpp
  COMMAND ${arm64_link} /subsystem:windows /entry:probe_start /out:${arm64}/quorventine.exe ${arm64}/probe.obj
    ${arm64}/kernel32.lib
  COMMAND ${arm64_cxx} -o ${arm64}/probe_lib.obj ${CMAKE_SOURCE_DIR}/check/probe_lib.cpp
  COMMAND ${arm64_link} /dll /entry:probe_lib_entry /implib:${arm64}/probe_lib.lib /out:${arm64}/probe_lib.dll
    ${arm64}/probe_lib.obj
  DEPENDS check/probe.cpp check/probe_lib.cpp check/kernel32.def VERBATIM)

# dist/quorventine-check.zip: one folder with the check, the launcher under test and the probes, as a packager
# unpacks it on Windows.
set(check_dir ${CMAKE_BINARY_DIR}/quorventine-check)
set(check_zip ${CMAKE_BINARY_DIR}/dist/quorventine-check.zip)
add_custom_command(OUTPUT ${check_zip}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${check_dir}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${check_dir}/x86 ${check_dir}/x64 ${check_dir}/arm64
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:check> $<TARGET_FILE:quorventine> ${check_dir}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:probe> ${check_dir}/x86/quorventine.exe
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:probe_lib> ${check_dir}/x86
  COMMAND ${CMAKE_COMMAND} -E copy ${x64}/quorventine.exe ${x64}/probe_lib.dll ${check_dir}/x64
  COMMAND ${CMAKE_COMMAND} -E copy ${arm64}/quorventine.exe ${arm64}/probe_lib.dll ${check_dir}/arm64
  COMMAND ${CMAKE_COMMAND} -E tar cf ${check_zip} --format=zip --mtime=2000-01-01 quorventine-check
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  DEPENDS check quorventine probe probe_lib ${x64}/quorventine.exe ${x64}/probe_lib.dll ${arm64}/quorventine.exe
    ${arm64}/probe_lib.dll
  COMMENT "Packing ${check_zip}")
add_custom_target(check_zip ALL DEPENDS ${check_zip})

# The NSIS sample, built for its test, per-user and per-machine, with the gates where the test pauses it: version 1
# and version 2 of the product, whose application is the probe built to record that version. And as it ships, to
# show that what ships builds without the test's parts.
set(nsis ${CMAKE_BINARY_DIR}/nsis)
set(nsis_sources ${CMAKE_SOURCE_DIR}/nsis/sample.nsi ${CMAKE_SOURCE_DIR}/nsis/quorventine.nsh)
set(makensis ${MAKENSIS} -V2 -WX)
foreach(version 1 2)
  add_executable(probe_v${version} WIN32 check/probe.cpp)
  target_compile_options(probe_v${version} PRIVATE ${probe_gcc_flags})
  target_compile_definitions(probe_v${version} PRIVATE QV_PROBE_VERSION="${version}")
  target_link_options(probe_v${version} PRIVATE -nostdlib -nostartfiles -Wl,-e,_probe_start@0 -s)
  target_link_libraries(probe_v${version} PRIVATE kernel32)
  set(files ${nsis}/files-v${version})
  add_custom_command(OUTPUT ${files}/quorventine.exe ${files}/bin/quorventine.exe ${files}/lib/probe_lib.dll
    COMMAND ${CMAKE_COMMAND} -E make_directory ${files}/bin ${files}/lib
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:quorventine> ${files}/quorventine.exe
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:probe_v${version}> ${files}/bin/quorventine.exe
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:probe_lib> ${files}/lib/probe_lib.dll
    DEPENDS quorventine probe_v${version} probe_lib VERBATIM)
  foreach(scope per-user per-machine)
    set(setup ${nsis}/${scope}/quorventine-setup-v${version}.exe)
    set(scope_define $<$<STREQUAL:${scope},per-machine>:-DQV_PER_MACHINE>)
    add_custom_command(OUTPUT ${setup}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${nsis}/${scope}
      COMMAND ${makensis} ${scope_define} -DQV_TEST_GATES -DQV_VERSION=${version} -DQV_FILES=${files}
        -DQV_OUTFILE=${setup} ${CMAKE_SOURCE_DIR}/nsis/sample.nsi
      DEPENDS ${files}/quorventine.exe ${nsis_sources} VERBATIM COMMAND_EXPAND_LISTS)
    list(APPEND nsis_setups ${setup})
  endforeach()
endforeach()
add_custom_command(OUTPUT ${nsis}/quorventine-setup.exe
  COMMAND ${makensis} -DQV_FILES=${nsis}/files-v1 -DQV_OUTFILE=${nsis}/quorventine-setup.exe
    ${CMAKE_SOURCE_DIR}/nsis/sample.nsi
  DEPENDS ${nsis}/files-v1/quorventine.exe ${nsis_sources} VERBATIM)
add_custom_target(nsis_setups ALL DEPENDS ${nsis_setups} ${nsis}/quorventine-setup.exe)
add_executable(nsis_upgrade tests/nsis_upgrade.cpp)
target_include_directories(nsis_upgrade PRIVATE check)
target_compile_options(nsis_upgrade PRIVATE ${warnings})
target_link_options(nsis_upgrade PRIVATE ${static_runtime} -municode)

# The Wine prefixes: the check's own, which maps no drive of ours, and the demo's and benchmark's.
set(check_prefix ${CMAKE_BINARY_DIR}/check-prefix)
add_test(NAME wine_start COMMAND ${CMAKE_SOURCE_DIR}/tools/wine.sh start)
add_test(NAME wine_stop COMMAND ${CMAKE_SOURCE_DIR}/tools/wine.sh stop)
set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine ENVIRONMENT WINEPREFIX=${check_prefix})
set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine ENVIRONMENT WINEPREFIX=${check_prefix})

# The check as a user runs it, from its zip unpacked elsewhere, in code pages 1252 and 932; and as a standard user
# in code page 1251, with %TEMP% in a user folder named with a blank and a letter that 1251 lacks, in a prefix of its
# own, after a run of it killed from outside. Each is held to the rows that this Wine runs which another system may
# skip, so that no skip goes unseen.
set(wine_rows x64_any_characters,x64_unquoted_path_with_blanks,typed_rooted_without_drive,hard_link_keeps_its_directory,semicolon_in_install,unquoted_path)
set(wine_rows_C.UTF-8 ${wine_rows},quotes_backslashes_high_bytes)
set(wine_rows_ja_JP.UTF-8 ${wine_rows},cp932_quoted,cp932_unquoted)
foreach(locale C.UTF-8 ja_JP.UTF-8)
  add_test(NAME check_${locale} COMMAND ${CMAKE_SOURCE_DIR}/tests/run_check.sh ${check_zip} ${locale} 0
    --must-run=${wine_rows_${locale}})
  set_tests_properties(check_${locale} PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT WINEPREFIX=${check_prefix})
endforeach()
add_test(NAME check_as_user_ru_RU.UTF-8
  COMMAND ${CMAKE_SOURCE_DIR}/tests/run_check_as_user.sh ${check_zip} ru_RU.UTF-8 "Łukasz Nowak")

# A launcher with one line of one source changed, which the check must find at fault: it must print its summary and
# exit 1. Made when configured, and again whenever that source changes; a line that is no longer there stops the
# configure step.
function(add_faulty_launcher name source find replace)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${source})
  file(READ ${CMAKE_SOURCE_DIR}/${source} text)
  string(REPLACE "${find}" "${replace}" changed "${text}")
  string(REPLACE "${find}" "" without "${text}")
  string(LENGTH "${text}" whole)
  string(LENGTH "${without}" rest)
  string(LENGTH "${find}" part)
  math(EXPR found "(${whole} - ${rest}) / ${part}")
  if(NOT found EQUAL 1)
    message(FATAL_ERROR "${source} holds \"${find}\" ${found} times, not once: ${name} cannot be made")
  endif()
  set(dir ${CMAKE_BINARY_DIR}/faulty/${name})
  file(WRITE ${dir}/changed.txt "${changed}")
  configure_file(${dir}/changed.txt ${dir}/${source} COPYONLY)
  list(TRANSFORM launcher_sources REPLACE "^${source}$" ${dir}/${source} OUTPUT_VARIABLE sources)
  add_launcher(${name} ${sources})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/launcher)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${dir} OUTPUT_NAME quorventine)
endfunction()
add_faulty_launcher(path_unchanged launcher/main.cpp [[SetEnvironmentVariableW(L"PATH",]]
  [[SetEnvironmentVariableW(L"PATH_",]])
# The check's red roads, each a short run from its zip: a filter that selects nothing; a launcher that is no program;
# a probe cut short, on a system that runs its machine's programs; the cases' process ended from outside.
add_test(NAME check_selects_nothing COMMAND ${CMAKE_SOURCE_DIR}/tests/run_check.sh ${check_zip} C.UTF-8 2
  --expect "no case ran: the filter selects none" --gtest_filter=None)
add_test(NAME check_launcher_no_program COMMAND ${CMAKE_SOURCE_DIR}/tests/run_check.sh ${check_zip} C.UTF-8 2
  --expect "under-test.exe is not a program" --launcher ${CMAKE_SOURCE_DIR}/README.md)
add_test(NAME check_probe_damaged COMMAND ${CMAKE_SOURCE_DIR}/tests/run_check.sh ${check_zip} C.UTF-8 1
  --damage x64/quorventine.exe --expect [[x64\quorventine.exe does not start]] --gtest_filter=*x64_*:*worked_example)
add_test(NAME check_cases_killed COMMAND ${CMAKE_SOURCE_DIR}/tests/run_check.sh ${check_zip} C.UTF-8 1 --kill-cases
  --expect "the cases' process ended abruptly" --gtest_filter=Lock*)
set_tests_properties(check_selects_nothing check_launcher_no_program check_probe_damaged check_cases_killed
  PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT WINEPREFIX=${check_prefix})

add_test(NAME must_run_rows COMMAND ${CMAKE_SOURCE_DIR}/tests/must_run.sh ${CMAKE_SOURCE_DIR} ${check_dir}/quorventine-check.exe)
set_tests_properties(must_run_rows PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "WINEPREFIX=${check_prefix};LC_ALL=C.UTF-8")

add_test(NAME check_finds_path_unchanged COMMAND ${CMAKE_SOURCE_DIR}/tests/run_check.sh ${check_zip} C.UTF-8 1
  --launcher $<TARGET_FILE:path_unchanged> --gtest_filter=Launch.Receives/path_*:Launch.Receives/worked_example)
set_tests_properties(check_finds_path_unchanged PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT WINEPREFIX=${check_prefix})

# The sample's update and removal under Wine, as the user who installs it: per-user, and per-machine (elevated).
foreach(scope per-user per-machine)
  add_test(NAME nsis_upgrade_${scope}
    COMMAND ${CMAKE_SOURCE_DIR}/tests/nsis_upgrade.sh $<TARGET_FILE:nsis_upgrade> ${nsis}/${scope} ${scope})
  set_tests_properties(nsis_upgrade_${scope} PROPERTIES FIXTURES_REQUIRED wine
    ENVIRONMENT "WINEPREFIX=${check_prefix};LC_ALL=C.UTF-8" TIMEOUT 240)
endforeach()

add_test(NAME relay_trace COMMAND ${CMAKE_SOURCE_DIR}/tests/relay_trace.sh ${check_dir}/quorventine-check.exe worked_example)
set_tests_properties(relay_trace PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "WINEPREFIX=${check_prefix};LC_ALL=C.UTF-8")

add_test(NAME executable COMMAND ${CMAKE_SOURCE_DIR}/tests/executable.sh
  ${CMAKE_SOURCE_DIR} $<TARGET_FILE:quorventine> ${icon} ${CMAKE_BINARY_DIR}/second-build ${check_dir})
