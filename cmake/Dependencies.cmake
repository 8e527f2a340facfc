# Libraries beyond the base set, added as the modules that need them land.
# The device setter is exported by name from the player although nothing in
# the program calls it: keep its object file in every link.
target_link_options(engine INTERFACE "LINKER:--undefined=gTQScript_setDevice")
# Effects and texture shaders: HLSL through glslang to SPIR-V, SPIRV-Cross to GLSL
pkg_check_modules(SPIRV_CROSS REQUIRED IMPORTED_TARGET spirv-cross-c-shared)
target_compile_definitions(engine PRIVATE ENABLE_HLSL)
target_link_libraries(engine PUBLIC glslang SPIRV MachineIndependent OSDependent HLSL OGLCompiler
                      GenericCodeGen glslang-default-resource-limits SPIRV-Tools-opt SPIRV-Tools
                      PkgConfig::SPIRV_CROSS)
# glslang is built without run-time type information: the file that uses
# its classes must not ask for their type checks.
set_source_files_properties(${CMAKE_SOURCE_DIR}/platform/d3dx/HLSLCompiler.cpp
                            PROPERTIES COMPILE_OPTIONS "-fno-rtti;-fno-sanitize=vptr")
