# Native build: the text derivations under unit tests.
find_package(GTest REQUIRED)

add_executable(command_line_test tests/command_line_test.cpp)
target_link_libraries(command_line_test PRIVATE command_line GTest::gtest_main)
target_compile_options(command_line_test PRIVATE ${warnings})
add_test(NAME command_line COMMAND command_line_test)

# The committed icon must be exactly what its generator draws.
add_executable(make_icon resources/make_icon.cpp)
target_compile_options(make_icon PRIVATE ${warnings})
add_test(NAME icon_matches_generator COMMAND sh -c
  "$<TARGET_FILE:make_icon> drawn.ico && cmp drawn.ico ${CMAKE_SOURCE_DIR}/resources/quorventine.ico")
