// The OpenMP spin default the module's small companion library sets (see
// omp_defaults.cpp) and the marker by which the module knows it was set
// there rather than by the user.
#pragma once

#define VANTREL_DEFAULT_GOMP_SPINCOUNT "1000"
#define VANTREL_OMP_DEFAULT_MARKER "VANTREL_OMP_SPIN_DEFAULTED"

extern "C" void vantrel_omp_defaults_anchor();
