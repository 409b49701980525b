# Warnings, warnings-as-errors and sanitizer switches shared by every target.
add_compile_options(-Wall -Wextra)
if(CORVANTIS_WERROR)
  add_compile_options(-Werror)
endif()

set(CORVANTIS_UPDATE_SERVER_HOST "update.vorantix.example" CACHE STRING
    "Host of the maker's update server (default URLs and usage text)")

if(CORVANTIS_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(CORVANTIS_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT CORVANTIS_SANITIZE STREQUAL "")
  message(FATAL_ERROR "CORVANTIS_SANITIZE must be empty, 'address' or 'thread'")
endif()
