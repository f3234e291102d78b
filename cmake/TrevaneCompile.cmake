# Warnings, sanitizers and small helpers shared by every target of the project.

set(TREVANE_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align -Wunused
    -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough)
if(TREVANE_WERROR)
  list(APPEND TREVANE_WARNINGS -Werror)
endif()

if(TREVANE_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(TREVANE_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT TREVANE_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TREVANE_SANITIZE must be empty, 'address' or 'thread'")
endif()

# trevane_warnings(target): the project's warning set on one of its own targets (not on third-party code).
function(trevane_warnings target)
  target_compile_options(${target} PRIVATE ${TREVANE_WARNINGS})
endfunction()

# trevane_add_ofx_module(target SOURCE file EXPORTS map OUTPUT_DIR dir [PLUGIN_LIBRARY lib]): an OpenFX module
# holding the whole plug-in library (kesto_plugin unless another build of it is named), exporting only what the
# version script names, written as <dir>/<target>.ofx. The shipped module and the test probes are built by this
# one recipe, so the tests load a module linked like the product.
function(trevane_add_ofx_module target)
  cmake_parse_arguments(ARG "" "SOURCE;EXPORTS;OUTPUT_DIR;PLUGIN_LIBRARY" "" ${ARGN})
  if(NOT ARG_PLUGIN_LIBRARY)
    set(ARG_PLUGIN_LIBRARY kesto_plugin)
  endif()
  add_library(${target} MODULE ${ARG_SOURCE})
  trevane_warnings(${target})
  target_link_libraries(${target} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${ARG_PLUGIN_LIBRARY}>" OpenGL::GL)
  target_link_options(${target} PRIVATE "-Wl,--version-script=${ARG_EXPORTS}" -Wl,--no-undefined -Wl,-z,defs)
  set_target_properties(${target} PROPERTIES
    PREFIX "" SUFFIX ".ofx"
    LINK_DEPENDS "${ARG_EXPORTS}"
    LIBRARY_OUTPUT_DIRECTORY "${ARG_OUTPUT_DIR}")
endfunction()

# trevane_rebuild_plugin_library(target OFX_API api): the plug-in library built once more, from the same sources
# (the overlay's included) and with the same links, but against the OpenFX headers of the interface target
# `api` instead of ofx_api.
function(trevane_rebuild_plugin_library target)
  cmake_parse_arguments(ARG "" "OFX_API" "" ${ARGN})
  get_target_property(sources kesto_plugin SOURCES)
  get_target_property(source_dir kesto_plugin SOURCE_DIR)
  list(TRANSFORM sources PREPEND "${source_dir}/" REGEX "^[^/]")
  get_target_property(links kesto_plugin LINK_LIBRARIES)
  if(NOT ofx_api IN_LIST links)
    message(FATAL_ERROR "kesto_plugin no longer links ofx_api: nothing to replace")
  endif()
  list(TRANSFORM links REPLACE "^ofx_api$" "${ARG_OFX_API}")
  add_library(${target} STATIC ${sources})
  trevane_warnings(${target})
  target_link_libraries(${target} PUBLIC ${links})
endfunction()
