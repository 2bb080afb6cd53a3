# Header-only libraries taken from the build machine when cross-compiling.
#
# nlohmann_json: the build machine's package gives the version check and the target, but its
# include directory is the host's /usr/include, which also holds the host's C library headers;
# on the cross compiler's search path those would take the place of the target's own. The target
# gets a directory of its own instead, holding only a link to the library's headers.
find_package(nlohmann_json 3.11.2 REQUIRED CONFIG NO_CMAKE_FIND_ROOT_PATH)

get_target_property(ate_json_dirs nlohmann_json::nlohmann_json INTERFACE_INCLUDE_DIRECTORIES)
find_path(ATE_NLOHMANN_JSON_INCLUDE_DIR nlohmann/json.hpp
  PATHS ${ate_json_dirs} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT ATE_NLOHMANN_JSON_INCLUDE_DIR)
  message(FATAL_ERROR "nlohmann/json.hpp not found in ${ate_json_dirs}")
endif()

set(ate_header_view "${PROJECT_BINARY_DIR}/host-headers")
file(MAKE_DIRECTORY "${ate_header_view}")
file(CREATE_LINK "${ATE_NLOHMANN_JSON_INCLUDE_DIR}/nlohmann" "${ate_header_view}/nlohmann"
  SYMBOLIC COPY_ON_ERROR)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${ate_header_view}")
