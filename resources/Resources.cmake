# The program's resources: the table (Resources.cpp) and the binary files it
# names, turned into byte arrays whenever they change.
set(RESOURCE_FILES splash.jpg demo.ico)
set(RESOURCE_BYTES_CPP ${CMAKE_BINARY_DIR}/generated/ResourceBytes.cpp)
set(resource_text "// Made from the files in resources/ by Resources.cmake.\n#include <cstddef>\n")
foreach(name ${RESOURCE_FILES})
  set(path ${CMAKE_SOURCE_DIR}/resources/${name})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${path})
  file(READ ${path} hex HEX)
  file(SIZE ${path} size)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
  string(MAKE_C_IDENTIFIER ${name} symbol)
  string(APPEND resource_text
         "extern const unsigned char kResource_${symbol}[] = {\n${bytes}};\n"
         "extern const size_t kResource_${symbol}_size = ${size};\n")
endforeach()
file(CONFIGURE OUTPUT ${RESOURCE_BYTES_CPP} CONTENT "${resource_text}" @ONLY)
# The table is the program's, searched by the platform (FindResourceA): its
# objects go into every program built on the engine, and the ids header to
# the layers that name resources.
engine_headers(program_resource_ids DIRS resources)
add_library(program_resources OBJECT ${CMAKE_SOURCE_DIR}/resources/Resources.cpp ${RESOURCE_BYTES_CPP})
target_link_libraries(program_resources PRIVATE program_resource_ids platform_win32)
target_sources(engine INTERFACE $<TARGET_OBJECTS:program_resources>)
