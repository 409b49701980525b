# A layer library takes every .cpp of its folders, so that adding a file to a
# folder needs no edit here. main.cpp belongs to the executable, not a layer.
function(corvantis_layer_library name)
  set(sources "")
  foreach(dir ${ARGN})
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
    list(APPEND sources ${found})
  endforeach()
  list(FILTER sources EXCLUDE REGEX "/app/main\\.cpp$")
  add_library(${name} STATIC ${sources})
endfunction()

# Adds every immediate subfolder of `area` that has its own CMakeLists.txt
# (each stand-in, benchmark or fuzz target keeps its build next to its code).
function(corvantis_add_subdirectories area)
  file(GLOB children LIST_DIRECTORIES true CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/${area}/*)
  foreach(child ${children})
    if(IS_DIRECTORY ${child} AND EXISTS ${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
