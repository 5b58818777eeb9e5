# Helpers shared by the project's CMake files.

# Windows libraries the utilities call into.
set(PALVANE_SYSTEM_LIBS
  ws2_32 winhttp version crypt32 wintrust advapi32 iphlpapi wtsapi32 userenv psapi
  setupapi ole32 oleaut32 wbemuuid netapi32 shlwapi urlmon shell32 rpcrt4 dbghelp)

function(palvane_warnings target)
  target_compile_options(${target} PRIVATE ${PALVANE_WARNINGS} -Wno-deprecated-declarations)
endfunction()

# A static library from every .cpp of the given folders (non-recursive),
# leaving out the files matched by EXCLUDE regular expressions.
function(palvane_glob_library target)
  cmake_parse_arguments(ARG "" "" "DIRS;EXCLUDE;LIBS" ${ARGN})
  set(sources)
  foreach(dir ${ARG_DIRS})
    file(GLOB found CONFIGURE_DEPENDS ${dir}/*.cpp)
    list(APPEND sources ${found})
  endforeach()
  foreach(pattern ${ARG_EXCLUDE})
    list(FILTER sources EXCLUDE REGEX "${pattern}")
  endforeach()
  if(NOT sources)
    add_library(${target} INTERFACE)
    target_link_libraries(${target} INTERFACE ${ARG_LIBS})
    return()
  endif()
  add_library(${target} STATIC ${sources})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/include)
  target_link_libraries(${target} PUBLIC ${ARG_LIBS})
  palvane_warnings(${target})
endfunction()
