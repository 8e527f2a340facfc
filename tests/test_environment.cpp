// Every test runs headless: no display, dummy audio, software rendering on
// one thread. Programs that tests
// start (the player) inherit this environment, with the leak checker's
// suppressions for the system's own libraries.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/d3dx/HLSLCompiler.h"
#include "runtime/TrialBuild.h"
#include "testsupport/HeadlessEnvironment.h"

extern "C" const char* __lsan_default_suppressions() {
  // The same list as tests/lsan.supp, for the test binary itself.
  return "leak:libLLVM\nleak:libgallium\nleak:swrast_dri\nleak:libEGL_mesa\nleak:libGLX_mesa\n"
         "leak:libglapi\nleak:libdbus\nleak:libSDL2\nleak:libX11\nleak:libfontconfig\n";
}

// Dynamic TLS is not followed through __tls_get_addr: with the GL driver's
// thread-local blocks the leak checker's tracer can crash at exit (seen
// with GCC 12's runtime under ctest), failing a test that passed.
extern "C" const char* __asan_default_options() { return "intercept_tls_get_addr=0"; }

namespace {

struct HeadlessEnvironment {
  HeadlessEnvironment() {
    useHeadlessEnvironment();
    setenv("LSAN_OPTIONS", "suppressions=" ENGINE_LSAN_SUPPRESSIONS ":print_suppressions=0", 0);
    setenv("UBSAN_OPTIONS", "print_stacktrace=1", 0);
    // llvmpipe renders on the calling thread: with its worker threads alive
    // at exit the leak checker's thread tracer can crash (seen with GCC 12's
    // runtime). Tests draw small targets, so the speed does not matter, and
    // the output is the same for any thread count.
    setenv("LP_NUM_THREADS", "0", 0);
    // For the same reason no shader disk cache: its writer thread may be
    // busy with a newly compiled program when the process ends.
    setenv("MESA_SHADER_CACHE_DISABLE", "true", 0);
  }
} gHeadlessEnvironment;

// The helpers' origin (with the shader compiler's worker and the first of
// the scriplets' trial builds) starts before any test, while this process
// has no other thread, as the player starts it first thing: a fork from a
// process whose other threads hold the sanitizer allocator's lock can leave
// the copy stuck.
struct CompilerWorker : ::testing::Environment {
  void SetUp() override {
    d3dx_hlsl::startCompiler();
    trial_build::start();
  }
};
::testing::Environment* const gCompilerWorker =
    ::testing::AddGlobalTestEnvironment(new CompilerWorker);

}  // namespace
