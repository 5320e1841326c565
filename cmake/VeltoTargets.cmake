# Shared compile settings and the one-library-per-folder helper.

set(VELTO_WARNINGS -Wall -Wextra)
if(VELTO_WERROR)
  list(APPEND VELTO_WARNINGS -Werror)
endif()

if(VELTO_SANITIZE STREQUAL "address")
  set(VELTO_SAN_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
elseif(VELTO_SANITIZE STREQUAL "fuzzer")
  # Instrumented for libFuzzer (clang only); the fuzz programs link the fuzzer's main.
  set(VELTO_SAN_FLAGS -fsanitize=fuzzer-no-link,address,undefined
                      -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(VELTO_SANITIZE STREQUAL "thread")
  set(VELTO_SAN_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
else()
  set(VELTO_SAN_FLAGS "")
endif()
if(VELTO_SAN_FLAGS)
  add_compile_options(${VELTO_SAN_FLAGS})
  add_link_options(${VELTO_SAN_FLAGS})
endif()

# Applies our warning set to a target of our own code.
function(velto_warnings target)
  get_target_property(type ${target} TYPE)
  if(NOT type STREQUAL "INTERFACE_LIBRARY")
    target_compile_options(${target} PRIVATE ${VELTO_WARNINGS})
  endif()
endfunction()

# velto_folder_library(<target> <dir>... [DEPS ...]): one static library from every .cpp in the
# given folders. A library without sources yet becomes an interface library so dependants still
# configure.
function(velto_folder_library target)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  set(sources "")
  foreach(dir IN LISTS ARG_UNPARSED_ARGUMENTS)
    file(GLOB dir_sources CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.c)
    list(APPEND sources ${dir_sources})
  endforeach()
  if(sources)
    add_library(${target} STATIC ${sources})
    target_link_libraries(${target} PUBLIC ${ARG_DEPS})
    velto_warnings(${target})
  else()
    add_library(${target} INTERFACE)
    target_link_libraries(${target} INTERFACE ${ARG_DEPS})
  endif()
endfunction()
