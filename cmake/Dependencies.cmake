# Libraries beyond the base set, added as the modules that need them land.
# The device setter is exported by name from the player although nothing in
# the program calls it: keep its object file in every link.
target_link_options(engine INTERFACE "LINKER:--undefined=gTQScript_setDevice")
# Text meshes: fonts chosen by fontconfig, outlines from FreeType, GLU's
# tessellator for the faces.
pkg_check_modules(TEXTMESH REQUIRED IMPORTED_TARGET freetype2 fontconfig glu)
target_link_libraries(engine PUBLIC PkgConfig::TEXTMESH)
