# The package's installer (installer/TamsuSetup_ZUVA.nsi), built by makensis from the deliverables in
# dist/, installed and uninstalled for real under Wine.
function(tamsu_build_setup name out)
  add_test(NAME PackageInstaller.Build_${name}
           COMMAND ${MAKENSIS} -V2 ${ARGN} -DOUT_FILE=${CMAKE_CURRENT_BINARY_DIR}/${out}
                   ${PROJECT_SOURCE_DIR}/installer/TamsuSetup_ZUVA.nsi)
  set_tests_properties(PackageInstaller.Build_${name} PROPERTIES FIXTURES_SETUP package_installer LABELS windows)
endfunction()
tamsu_build_setup(TamsuSetup_ZUVA TamsuSetup_ZUVA.exe -DDIST_DIR=${TAMSU_DIST_DIR})
# A later version whose service program cannot serve: the payload is dist/ with the dud in its place.
set(dud_payload ${CMAKE_CURRENT_BINARY_DIR}/dud_payload)
add_test(NAME PackageInstaller.Payload_dud
         COMMAND sh -c "rm -rf '${dud_payload}' && mkdir -p '${dud_payload}' && cp -r '${TAMSU_DIST_DIR}/.' '${dud_payload}/' && cp '$<TARGET_FILE:dud_service>' '${dud_payload}/TamsuSerB.exe'")
set_tests_properties(PackageInstaller.Payload_dud PROPERTIES FIXTURES_SETUP dud_payload LABELS windows)
tamsu_build_setup(dud TamsuSetup_dud.exe -DDIST_DIR=${dud_payload} -DPRODUCT_VERSION=1.0.1.0)
set_tests_properties(PackageInstaller.Build_dud PROPERTIES FIXTURES_REQUIRED dud_payload)
# A newer version of the same files, to be downgraded from.
tamsu_build_setup(newer TamsuSetup_newer.exe -DDIST_DIR=${TAMSU_DIST_DIR} -DPRODUCT_VERSION=9.0.0.0)

add_executable(installer_tests ${CMAKE_CURRENT_LIST_DIR}/installer_test.cpp)
target_link_libraries(installer_tests PRIVATE gtest_main test_process soak_load common_security common_win advapi32
                                              user32)
include(${PROJECT_SOURCE_DIR}/cmake/TamsuJson.cmake)
tamsu_use_nlohmann_json(installer_tests)  # TamsuCli status --json
# A client program holding the installed library; the dud service program; for the status report,
# a list pipe's holder and the Smart Card service's stand-in.
add_dependencies(installer_tests target_process dud_service pipe_client scard_standin)
# The installed files are compared with the shipped ones.
target_compile_definitions(installer_tests PRIVATE TAMSU_DIST_DIR="${TAMSU_DIST_DIR}")
# Each test installs and uninstalls the whole package (service start and stop included) under QEMU.
gtest_discover_tests(installer_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                     PROPERTIES TIMEOUT 300 LABELS windows FIXTURES_REQUIRED package_installer)
