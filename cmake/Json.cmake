# nlohmann::json (Debian's nlohmann-json3-dev), header-only: the one JSON library of the
# program, for the core's history as for the control protocol and the command line. A cross
# build cannot take the build machine's /usr/include whole, so it gets a folder that holds
# the library alone.
find_path(HORALIGN_NLOHMANN_DIR nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH
          REQUIRED)
set(horalign_json_include ${HORALIGN_NLOHMANN_DIR})
if(CMAKE_CROSSCOMPILING)
  set(horalign_json_include ${CMAKE_BINARY_DIR}/json-include)
  file(MAKE_DIRECTORY ${horalign_json_include})
  file(CREATE_LINK ${HORALIGN_NLOHMANN_DIR}/nlohmann ${horalign_json_include}/nlohmann SYMBOLIC)
endif()
add_library(horalign_json INTERFACE)
target_include_directories(horalign_json SYSTEM INTERFACE ${horalign_json_include})
