# The shipped diagnostic client (dist/tools/TamsuCli.exe) against list servers in monitor_host.exe.
include(${PROJECT_SOURCE_DIR}/cmake/TamsuJson.cmake)
tamsu_windows_test(cli_tests SOURCES tools/cli_test.cpp)
target_link_libraries(cli_tests PRIVATE test_process soak_load common_win)
tamsu_use_nlohmann_json(cli_tests)  # status --json is read as the tools that use it would
target_compile_definitions(cli_tests PRIVATE TAMSU_DIST_DIR="${TAMSU_DIST_DIR}")
add_dependencies(cli_tests monitor_host)

# TamsuKeySim from dist/tools/, checked with the scripted pipe client.
tamsu_windows_test(keysim_tests SOURCES tools/keysim_test.cpp)
target_link_libraries(keysim_tests PRIVATE test_process common_win common_protocol)
add_dependencies(keysim_tests pipe_client)

# TamsuWebHost from dist/, driven through its standard input and output.
tamsu_windows_test(web_host_tests SOURCES tools/web_host_test.cpp)
target_link_libraries(web_host_tests PRIVATE test_process common_win advapi32)
add_dependencies(web_host_tests test_pinpad test_pinpad_partial)
