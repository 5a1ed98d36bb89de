# A header-only library found on the build machine (CLI11, nlohmann/json),
# reached through a folder of the build tree that holds only its own
# directory: a MinGW cross build must not search the rest of /usr/include,
# whose glibc headers would shadow its own.
#   korvanel_header_only(TARGET HEADER DIRECTORY)
# e.g. korvanel_header_only(korvanel_cli nlohmann/json.hpp nlohmann)
function(korvanel_header_only target header directory)
  string(MAKE_C_IDENTIFIER "${directory}" id)
  find_path(KORVANEL_${id}_INCLUDE_DIR ${header}
    PATHS /usr/include /usr/local/include
    NO_CMAKE_FIND_ROOT_PATH
    REQUIRED)
  set(only ${PROJECT_BINARY_DIR}/${id}-include)
  file(MAKE_DIRECTORY ${only})
  file(CREATE_LINK ${KORVANEL_${id}_INCLUDE_DIR}/${directory} ${only}/${directory} SYMBOLIC COPY_ON_ERROR)
  target_include_directories(${target} SYSTEM PRIVATE ${only})
endfunction()
