// Runs when the module initialises, after the OpenMP runtime has read its
// environment: takes back the spin default omp_defaults.cpp put there, so
// only this process's libgomp saw it.
#include <cstdlib>
#include <cstring>

#include "bindings/omp_defaults.h"

namespace {

__attribute__((constructor)) void vantrel_restore_omp_env() {
    // Referencing the companion library keeps it linked even where the
    // linker drops unused dependencies.
    vantrel_omp_defaults_anchor();
    const char* marker = std::getenv(VANTREL_OMP_DEFAULT_MARKER);
    if (!marker) return;
    const char* spin = std::getenv("GOMP_SPINCOUNT");
    if (spin && std::strcmp(spin, marker) == 0) unsetenv("GOMP_SPINCOUNT");
    unsetenv(VANTREL_OMP_DEFAULT_MARKER);
}

}  // namespace
