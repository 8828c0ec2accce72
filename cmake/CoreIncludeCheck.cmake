# The core must stay free of Qt and operating-system headers: it includes only the C++
# standard library and its own headers. This check runs before the core compiles, so a
# stray include is a build error rather than a review comment.
set(HORALIGN_STD_HEADERS
  algorithm any array atomic bit bitset cassert cctype cerrno cfloat charconv chrono cinttypes
  climits clocale cmath compare concepts cstddef cstdint cstdio cstdlib cstring ctime cwchar
  cwctype deque exception expected format forward_list functional initializer_list iomanip ios
  iosfwd iostream istream iterator limits list locale map memory mutex new numbers numeric
  optional ostream queue random ranges ratio regex set source_location span sstream stack
  stdexcept streambuf string string_view system_error tuple type_traits typeinfo unordered_map
  unordered_set utility variant vector)

function(horalign_check_core_includes files)
  foreach(f IN LISTS files)
    file(STRINGS "${f}" lines REGEX "^[ \t]*#[ \t]*include")
    foreach(line IN LISTS lines)
      if(line MATCHES "#[ \t]*include[ \t]*<([^>]+)>")
        list(FIND HORALIGN_STD_HEADERS "${CMAKE_MATCH_1}" idx)
        if(idx EQUAL -1)
          message(FATAL_ERROR "${f}: <${CMAKE_MATCH_1}> is not a standard C++ header; "
                              "the core may include only the standard library and core/ headers")
        endif()
      elseif(line MATCHES "#[ \t]*include[ \t]*\"([^\"]+)\"")
        if(NOT CMAKE_MATCH_1 MATCHES "^core/")
          message(FATAL_ERROR "${f}: \"${CMAKE_MATCH_1}\" is outside core/")
        endif()
      endif()
    endforeach()
  endforeach()
endfunction()

# Script mode: cmake -DCORE_DIR=<dir> -P CoreIncludeCheck.cmake
if(CMAKE_SCRIPT_MODE_FILE AND DEFINED CORE_DIR)
  file(GLOB_RECURSE files "${CORE_DIR}/*.cpp" "${CORE_DIR}/*.h")
  horalign_check_core_includes("${files}")
endif()
