# engine_layer(name DIRS folder... [PUBLIC layer...] [PRIVATE layer...])
#
# A static library of the .cpp files in the folders (relative to the source
# tree). Its headers are not found through the source tree: each layer gets
# a folder of links of its own under the build tree (layers/<name>/<folder>
# pointing at the folder), which its sources and the targets that link it
# see. A layer that includes a header of one it does not link fails to
# compile. PUBLIC: the layers its own headers include; PRIVATE: those only
# its sources use.
function(engine_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "DIRS;PUBLIC;PRIVATE")
  set(root ${CMAKE_BINARY_DIR}/layers/${name})
  set(sources)
  foreach(dir ${arg_DIRS})
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp)
    list(APPEND sources ${found})
    engine_link_folder(${root} ${dir})
  endforeach()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${root})
  target_link_libraries(${name} PUBLIC ${arg_PUBLIC} PRIVATE ${arg_PRIVATE})
endfunction()

# Headers only: the folders' headers for the targets that link `name`.
function(engine_headers name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "DIRS")
  set(root ${CMAKE_BINARY_DIR}/layers/${name})
  foreach(dir ${arg_DIRS})
    engine_link_folder(${root} ${dir})
  endforeach()
  add_library(${name} INTERFACE)
  target_include_directories(${name} INTERFACE ${root})
endfunction()

function(engine_link_folder root dir)
  get_filename_component(parent ${root}/${dir} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  if(NOT IS_SYMLINK ${root}/${dir})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${dir} ${root}/${dir} SYMBOLIC)
  endif()
endfunction()

# engine_uses(layer library...): a third-party library that `layer` calls.
# The whole engine links it too, so that the tests and tools built on it
# find its headers as they did when the engine was one library.
function(engine_uses layer)
  if(NOT layer STREQUAL "engine")
    target_link_libraries(${layer} PRIVATE ${ARGN})
  endif()
  target_link_libraries(engine INTERFACE ${ARGN})
endfunction()
