// A pool of our own threads for work split into independent strips.
//
// An OpenMP region ends at a barrier that waits for every thread of the
// team, including one the OS has not yet run (another process holds its
// core, or a peer's threads still spin): the awake thread takes every strip
// from the shared counter and then waits a whole scheduler slice for a
// thread that has nothing left to do. Here the caller takes strips itself
// and, once none is left to take, waits only for strips other threads have
// taken and not finished; a worker that starts late finds none and sleeps
// again.
//
// Strips must be independent and each strip's result must not depend on the
// thread that runs it: a call made while the pool is busy (from inside a
// strip, from an OpenMP region, or while another thread's call holds the
// pool) runs every strip on the calling thread.
#pragma once
#include <cstdint>
#include <type_traits>

#include "kernels/quantize.h"

namespace vantrel {

// fn(ctx, strip, worker) for one strip; worker is in [0, team).
using StripFn = void (*)(void* ctx, int64_t strip, int worker);

// The team a call made now would use: omp_get_max_threads(), so the
// caller's OpenMP thread setting applies, or 1 inside an OpenMP region or
// a pool worker (their calls run serially). Size per-worker scratch by it.
int strip_team();

// Runs strips [0, count) over at most `team` threads (the caller is worker
// 0) and returns when all have finished. An exception from a strip is
// rethrown here once every started strip has finished (later strips are
// skipped).
void run_strips(int64_t count, int team, StripFn fn, void* ctx);

// The same with a callable f(int64_t strip, int worker).
template <class F>
inline void run_strips(int64_t count, int team, F&& f) {
    using Fn = std::remove_reference_t<F>;
    run_strips(count, team,
               [](void* ctx, int64_t strip, int worker) { (*static_cast<Fn*>(ctx))(strip, worker); },
               const_cast<void*>(static_cast<const void*>(&f)));
}

// fn(begin, end) for each non-empty share of [0, count) split into `team`
// by balanced_split: share s is the same range whichever thread runs it.
template <class F>
inline void run_shares(int64_t count, int team, F&& fn) {
    run_strips(team, team, [&](int64_t s, int) {
        const SplitRange r = balanced_split(count, team, int(s));
        if (r.begin < r.end) fn(r.begin, r.end);
    });
}

// Whether calls use the pool or (the default) an OpenMP team taking the same
// strips from a shared counter. VANTREL_POOL=1 in the environment starts
// it on.
void set_strip_pool_enabled(bool on);
bool strip_pool_enabled();

}  // namespace vantrel
