# The version resource (and, for programs, the manifest) of a shipped binary, from the one template
# and the one version in common/version/.
set(TAMSU_VERSION_DIR ${CMAKE_CURRENT_LIST_DIR}/../common/version)
get_filename_component(TAMSU_VERSION_DIR ${TAMSU_VERSION_DIR} ABSOLUTE)

# The setup reads the string, the resources the numbers: refuse a header where they disagree.
file(STRINGS ${TAMSU_VERSION_DIR}/version.h _tamsu_version_lines REGEX "^#define TAMSU_VERSION_")
foreach(_part MAJOR MINOR PATCH BUILD STRING)
  string(REGEX MATCH "#define TAMSU_VERSION_${_part} +\"?([^\"; ]+)\"?" _match "${_tamsu_version_lines}")
  set(_tamsu_version_${_part} ${CMAKE_MATCH_1})
endforeach()
set(TAMSU_VERSION "${_tamsu_version_MAJOR}.${_tamsu_version_MINOR}.${_tamsu_version_PATCH}.${_tamsu_version_BUILD}")
if(NOT TAMSU_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$" OR NOT TAMSU_VERSION STREQUAL _tamsu_version_STRING)
  message(FATAL_ERROR "common/version/version.h: TAMSU_VERSION_STRING \"${_tamsu_version_STRING}\" "
                      "is not the version of its numbers (${TAMSU_VERSION})")
endif()
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TAMSU_VERSION_DIR}/version.h)

# tamsu_version_resource(TARGET "File description"): programs also get the manifest; DLLs never do.
function(tamsu_version_resource target description)
  get_target_property(type ${target} TYPE)
  set(wrapper ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  set(defines "#define TAMSU_FILE_DESCRIPTION \"${description}\"
#define TAMSU_ORIGINAL_FILENAME \"$<TARGET_FILE_NAME:${target}>\"
#define TAMSU_INTERNAL_NAME \"$<TARGET_FILE_BASE_NAME:${target}>\"\n")
  set(depends ${TAMSU_VERSION_DIR}/version.rc ${TAMSU_VERSION_DIR}/version.h)
  if(type STREQUAL "EXECUTABLE")
    string(APPEND defines "#define TAMSU_FILE_TYPE VFT_APP\n"
                          "#define TAMSU_MANIFEST \"${TAMSU_VERSION_DIR}/program.manifest\"\n")
    list(APPEND depends ${TAMSU_VERSION_DIR}/program.manifest)
  else()
    string(APPEND defines "#define TAMSU_FILE_TYPE VFT_DLL\n")
  endif()
  file(GENERATE OUTPUT ${wrapper} CONTENT "${defines}#include \"${TAMSU_VERSION_DIR}/version.rc\"\n")
  set_source_files_properties(${wrapper} PROPERTIES GENERATED TRUE OBJECT_DEPENDS "${depends}")
  target_sources(${target} PRIVATE ${wrapper})
endfunction()
