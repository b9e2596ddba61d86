# tamsu_use_nlohmann_json(TARGET): nlohmann/json (Debian's nlohmann-json3-dev, header-only) for a
# target of any tree. It lives in the build machine's /usr/include beside glibc's headers, which
# must never shadow MinGW's, so MinGW trees see it through a build-tree folder that holds nothing
# but a link to it; the native tree uses it where it is.
find_path(TAMSU_NLOHMANN_JSON_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
function(tamsu_use_nlohmann_json target)
  if(WIN32)
    set(json_only ${CMAKE_BINARY_DIR}/third-party-include)
    if(NOT EXISTS ${json_only}/nlohmann)
      file(MAKE_DIRECTORY ${json_only})
      file(CREATE_LINK ${TAMSU_NLOHMANN_JSON_INCLUDE}/nlohmann ${json_only}/nlohmann SYMBOLIC)
    endif()
    target_include_directories(${target} SYSTEM PRIVATE ${json_only})
  else()
    target_include_directories(${target} SYSTEM PRIVATE ${TAMSU_NLOHMANN_JSON_INCLUDE})
  endif()
endfunction()
