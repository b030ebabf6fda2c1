// A tiny library the module links, flagged to initialise before every other
// library loaded with it: it gives the OpenMP runtime a bounded spin before
// that runtime reads its environment (in its own initialiser, before the
// module's code runs, so the module itself would be too late).
//
// Without it libgomp's idle threads spin for about 300,000 iterations at
// every barrier and between parallel regions. On a quiet machine that saves
// a few microseconds per region; when another process holds one of the
// cores, the spinning threads fight it for that core and a pass becomes
// several times slower. A short spin keeps the quiet-machine latency and
// lets threads sleep soon when they cannot make progress.
//
// The user's own OMP_WAIT_POLICY or GOMP_SPINCOUNT always wins. The module
// removes the variable again once the runtime has read it (omp_env_restore),
// so child processes and other libraries see the environment unchanged.
#include <cstdlib>

#include "bindings/omp_defaults.h"

namespace {

__attribute__((constructor)) void vantrel_bounded_omp_spin() {
    if (std::getenv("OMP_WAIT_POLICY") || std::getenv("GOMP_SPINCOUNT")) return;
    setenv("GOMP_SPINCOUNT", VANTREL_DEFAULT_GOMP_SPINCOUNT, 0);
    setenv(VANTREL_OMP_DEFAULT_MARKER, VANTREL_DEFAULT_GOMP_SPINCOUNT, 1);
}

}  // namespace

extern "C" void vantrel_omp_defaults_anchor() {}
