# Libraries beyond the base set, added as the modules that need them land;
# each goes to the layer that calls it (engine_uses, cmake/Layers.cmake).
# The device setter is exported by name from the player although nothing in
# the program calls it: keep its object file in every link.
target_link_options(engine INTERFACE "LINKER:--undefined=gTQScript_setDevice")
# Text meshes: fonts chosen by fontconfig, outlines from FreeType, GLU's
# tessellator for the faces.
pkg_check_modules(TEXTMESH REQUIRED IMPORTED_TARGET freetype2 fontconfig glu)
engine_uses(platform_win32 PkgConfig::TEXTMESH)
engine_uses(platform_d3dx PkgConfig::TEXTMESH)
# Music: tracker modules, sampled streams and the spectrum
pkg_check_modules(OPENMPT REQUIRED IMPORTED_TARGET libopenmpt)
pkg_check_modules(SNDFILE REQUIRED IMPORTED_TARGET sndfile)
pkg_check_modules(SAMPLERATE REQUIRED IMPORTED_TARGET samplerate)
pkg_check_modules(KISSFFT REQUIRED IMPORTED_TARGET kissfft-float)
engine_uses(platform_sound PkgConfig::OPENMPT PkgConfig::SNDFILE PkgConfig::SAMPLERATE
            PkgConfig::KISSFFT)

# Textures: image decoding (the library already holds the implementation)
pkg_check_modules(STB REQUIRED IMPORTED_TARGET stb)
engine_uses(platform_image PkgConfig::STB)
# Script texture fills encode DXT blocks with the same library.
engine_uses(scriptapi PkgConfig::STB)
# Hardening: the image decoder compiled in from the library's header, without
# the undefined-behaviour checks (its integer tricks are its own).
set_source_files_properties(${CMAKE_SOURCE_DIR}/platform/image/ImageDecode.cpp
                            PROPERTIES COMPILE_OPTIONS "-fno-sanitize=undefined")
# Effects and texture shaders: HLSL through glslang to SPIR-V, SPIRV-Cross to GLSL
pkg_check_modules(SPIRV_CROSS REQUIRED IMPORTED_TARGET spirv-cross-c-shared)
target_compile_definitions(platform_d3dx PRIVATE ENABLE_HLSL)
engine_uses(platform_d3dx glslang SPIRV MachineIndependent OSDependent HLSL OGLCompiler
            GenericCodeGen glslang-default-resource-limits SPIRV-Tools-opt SPIRV-Tools
            PkgConfig::SPIRV_CROSS)
# glslang is built without run-time type information: the file that uses
# its classes must not ask for their type checks.
set_source_files_properties(${CMAKE_SOURCE_DIR}/platform/d3dx/HLSLCompiler.cpp
                            PROPERTIES COMPILE_OPTIONS "-fno-rtti;-fno-sanitize=vptr")
# Setup dialog: Dear ImGui with its SDL2 and OpenGL backends, stb_image for
# the splash picture, and the program's resources compiled in.
pkg_check_modules(IMGUI REQUIRED IMPORTED_TARGET imgui)
engine_uses(platform_win32 PkgConfig::IMGUI PkgConfig::STB)
include(${CMAKE_SOURCE_DIR}/resources/Resources.cmake)
# Packages: gzipped packages are inflated whole by libdeflate, two to three
# times as fast as zlib's streaming inflater (which stays for the rest);
# large members on several threads, with libdeflate's checksum.
pkg_check_modules(LIBDEFLATE REQUIRED IMPORTED_TARGET libdeflate)
engine_uses(core PkgConfig::LIBDEFLATE Threads::Threads)
