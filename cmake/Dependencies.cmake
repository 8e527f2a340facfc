# Libraries beyond the base set, added as the modules that need them land.
# The device setter is exported by name from the player although nothing in
# the program calls it: keep its object file in every link.
target_link_options(engine INTERFACE "LINKER:--undefined=gTQScript_setDevice")
# Setup dialog: Dear ImGui with its SDL2 and OpenGL backends, stb_image for
# the splash picture, and the program's resources compiled in.
pkg_check_modules(IMGUI REQUIRED IMPORTED_TARGET imgui)
pkg_check_modules(STB REQUIRED IMPORTED_TARGET stb)
target_link_libraries(engine PUBLIC PkgConfig::IMGUI PkgConfig::STB)
include(${CMAKE_SOURCE_DIR}/resources/Resources.cmake)
