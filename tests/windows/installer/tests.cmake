# The package's installer (installer/TamsuSetup_ZUVA.nsi), built by makensis from the deliverables in
# dist/, installed and uninstalled for real under Wine.
add_test(NAME PackageInstaller.Build_TamsuSetup_ZUVA
         COMMAND ${MAKENSIS} -V2 -DDIST_DIR=${TAMSU_DIST_DIR}
                 -DOUT_FILE=${CMAKE_CURRENT_BINARY_DIR}/TamsuSetup_ZUVA.exe
                 ${PROJECT_SOURCE_DIR}/installer/TamsuSetup_ZUVA.nsi)
set_tests_properties(PackageInstaller.Build_TamsuSetup_ZUVA PROPERTIES FIXTURES_SETUP package_installer LABELS windows)

add_executable(installer_tests ${CMAKE_CURRENT_LIST_DIR}/installer_test.cpp)
target_link_libraries(installer_tests PRIVATE gtest_main test_process common_win advapi32 user32)
# A client program holding the installed library.
add_dependencies(installer_tests target_process)
# The installed files are compared with the shipped ones.
target_compile_definitions(installer_tests PRIVATE TAMSU_DIST_DIR="${TAMSU_DIST_DIR}")
# Each test installs and uninstalls the whole package (service start and stop included) under QEMU.
gtest_discover_tests(installer_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                     PROPERTIES TIMEOUT 300 LABELS windows FIXTURES_REQUIRED package_installer)
