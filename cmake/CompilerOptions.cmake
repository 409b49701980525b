# Warnings, warnings-as-errors and sanitizer switches shared by every target.
add_compile_options(-Wall -Wextra)
if(CORVANTIS_WERROR)
  add_compile_options(-Werror)
endif()

set(CORVANTIS_UPDATE_SERVER_HOST "update.vorantix.example" CACHE STRING
    "Host of the maker's update server (default URLs and usage text)")

# GCC 12 reports maybe-uninitialized false positives inside the standard
# library when sanitizers change inlining; real ones are caught by the plain build.
if(NOT CORVANTIS_SANITIZE STREQUAL "" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_compile_options(-Wno-maybe-uninitialized)
endif()

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
