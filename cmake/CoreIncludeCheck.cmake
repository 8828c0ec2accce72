# The core must stay free of Qt and operating-system headers: it includes only the C++
# standard library and its own headers. This check runs before the core compiles, so a
# stray include is a build error rather than a review comment.
#
# Inside the core the folders are layers, lowest first: a file includes only its own folder
# and the folders below it, so that no layer reaches up into one built on top of it.
set(HORALIGN_CORE_LAYERS platform util serial settings history device sync ui app)
set(HORALIGN_STD_HEADERS
  algorithm any array atomic bit bitset cassert cctype cerrno cfloat charconv chrono cinttypes
  climits clocale cmath compare concepts cstddef cstdint cstdio cstdlib cstring ctime cwchar
  cwctype deque exception expected format forward_list functional initializer_list iomanip ios
  iosfwd iostream istream iterator limits list locale map memory mutex new numbers numeric
  optional ostream queue random ranges ratio regex set source_location span sstream stack
  stdexcept streambuf string string_view system_error tuple type_traits typeinfo unordered_map
  unordered_set utility variant vector)
# Header-only libraries that reach no operating system, which the core may use too.
set(HORALIGN_CORE_LIBRARY_HEADERS nlohmann/json.hpp nlohmann/json_fwd.hpp)

# The layer of a core path (relative to core/, e.g. "sync/time_sync.h"); -1 for none listed.
function(horalign_core_layer path out)
  string(REGEX REPLACE "/.*" "" folder "${path}")
  list(FIND HORALIGN_CORE_LAYERS "${folder}" layer)
  if(NOT path MATCHES "/")
    set(layer -1)
  endif()
  set(${out} ${layer} PARENT_SCOPE)
endfunction()

function(horalign_check_core_includes core_dir files)
  foreach(f IN LISTS files)
    file(RELATIVE_PATH rel "${core_dir}" "${f}")
    horalign_core_layer("${rel}" own)
    if(own EQUAL -1)
      message(FATAL_ERROR "${f}: a core file belongs in one of the folders ${HORALIGN_CORE_LAYERS}")
    endif()
    file(STRINGS "${f}" lines REGEX "^[ \t]*#[ \t]*include")
    foreach(line IN LISTS lines)
      if(line MATCHES "#[ \t]*include[ \t]*<([^>]+)>")
        list(FIND HORALIGN_STD_HEADERS "${CMAKE_MATCH_1}" idx)
        list(FIND HORALIGN_CORE_LIBRARY_HEADERS "${CMAKE_MATCH_1}" library)
        if(idx EQUAL -1 AND library EQUAL -1)
          message(FATAL_ERROR "${f}: <${CMAKE_MATCH_1}> is not a standard C++ header; "
                              "the core may include only the standard library, nlohmann/json and core/ headers")
        endif()
      elseif(line MATCHES "#[ \t]*include[ \t]*\"([^\"]+)\"")
        set(included "${CMAKE_MATCH_1}")
        if(NOT included MATCHES "^core/")
          message(FATAL_ERROR "${f}: \"${included}\" is outside core/")
        endif()
        string(REGEX REPLACE "^core/" "" included_rel "${included}")
        horalign_core_layer("${included_rel}" theirs)
        if(theirs EQUAL -1 OR theirs GREATER own)
          list(GET HORALIGN_CORE_LAYERS ${own} own_name)
          string(REPLACE ";" " < " order "${HORALIGN_CORE_LAYERS}")
          message(FATAL_ERROR "${f}: \"${included}\" is not in core/${own_name}/ or a folder "
                              "below it (${order})")
        endif()
      endif()
    endforeach()
  endforeach()
endfunction()

# Script mode: cmake -DCORE_DIR=<dir> -P CoreIncludeCheck.cmake
if(CMAKE_SCRIPT_MODE_FILE AND DEFINED CORE_DIR)
  file(GLOB_RECURSE files "${CORE_DIR}/*.cpp" "${CORE_DIR}/*.h")
  horalign_check_core_includes("${CORE_DIR}" "${files}")
endif()
