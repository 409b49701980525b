# corvantis_add_fuzzer(<name> SOURCES ... [LIBS ...] [SEED_DIR dir] [SECONDS n])
# Builds a libFuzzer target (clang only) and registers a ctest test, label
# "fuzz", that runs it for a bounded time on a copy of its seed corpus.
function(corvantis_add_fuzzer name)
  cmake_parse_arguments(F "" "SEED_DIR;SECONDS" "SOURCES;LIBS" ${ARGN})
  if(NOT F_SECONDS)
    set(F_SECONDS 20)
  endif()
  add_executable(${name} ${F_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  set(corpus ${CMAKE_CURRENT_BINARY_DIR}/${name}-corpus)
  set(seed_copy "")
  if(F_SEED_DIR)
    set(seed_copy ${F_SEED_DIR})
  endif()
  add_test(NAME ${name}
           COMMAND ${CMAKE_COMMAND} -E env
                   ${CMAKE_SOURCE_DIR}/scripts/run-fuzzer $<TARGET_FILE:${name}> ${corpus} ${F_SECONDS} ${seed_copy})
  set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 300)
endfunction()
