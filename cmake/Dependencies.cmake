# Libraries beyond the base set, added as the modules that need them land.
# The device setter is exported by name from the player although nothing in
# the program calls it: keep its object file in every link.
target_link_options(engine INTERFACE "LINKER:--undefined=gTQScript_setDevice")

# Textures: image decoding (the library already holds the implementation)
pkg_check_modules(STB REQUIRED IMPORTED_TARGET stb)
target_link_libraries(engine PUBLIC PkgConfig::STB)
