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
