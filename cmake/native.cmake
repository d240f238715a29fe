# Native build: the text derivations under unit tests.
find_package(GTest REQUIRED)

add_executable(command_line_test tests/command_line_test.cpp)
target_link_libraries(command_line_test PRIVATE command_line GTest::gtest_main)
target_compile_options(command_line_test PRIVATE ${warnings})
add_test(NAME command_line COMMAND command_line_test)
