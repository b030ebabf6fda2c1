#include "kernels/parallel/strip_pool.h"

#include <linux/futex.h>
#include <omp.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace vantrel {

namespace {

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// The ticket packs the job's generation (high half) and its next unclaimed
// strip (low half) in one word: a claim is a compare-and-swap of the whole
// word, so a worker that read an older job's ticket cannot claim a strip of
// the current one.
constexpr int kGenShift = 32;
constexpr uint64_t kNextMask = (uint64_t(1) << kGenShift) - 1;

// How long a worker with nothing to do spins before it sleeps: long enough
// to catch the next product of a network without a wake-up, short enough
// not to keep a core from another process for long (libgomp with the
// module's GOMP_SPINCOUNT=1000 spins about as long). In time, not pause
// iterations: a pause costs from a few to over a hundred nanoseconds
// depending on the processor and the hypervisor.
constexpr std::chrono::microseconds kWorkerSpin{50};
// How long a caller waiting for others' strips spins before it sleeps until
// the last one finishes. Not a yield: that hands the core to any other
// runnable process for a whole time slice. Sleeping also frees the core for
// a preempted worker to move to.
constexpr std::chrono::microseconds kCallerSpin{200};

// Spins while keep() holds, up to `limit`; returns whether keep() still holds.
template <class Keep>
bool spin_while(std::chrono::microseconds limit, Keep&& keep) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        for (int i = 0; i < 8; ++i) {
            if (!keep()) return false;
            cpu_relax();
        }
        if (std::chrono::steady_clock::now() >= end) return keep();
    }
}

// Moves a helping thread off `cpu`, the caller's, when it finds itself
// there while the team fits on the CPUs it may use. On a wake-up the
// scheduler may queue a sleeping worker on the CPU of the thread that woke
// it although another CPU is idle, and leave it there for milliseconds:
// the two then take turns on one core and every strip runs at half speed
// (an OpenMP worker the same, behind its master's barrier). Barring that
// CPU for a moment makes the kernel move the thread at once; the thread's
// own affinity is then given back, so the scheduler stays free to place it.
void step_off_cpu(int cpu, int team) {
    if (cpu < 0 || sched_getcpu() != cpu) return;
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
    if (!CPU_ISSET(cpu, &allowed) || CPU_COUNT(&allowed) < team) return;
    cpu_set_t others = allowed;
    CPU_CLR(cpu, &others);
    if (sched_setaffinity(0, sizeof others, &others) == 0) sched_setaffinity(0, sizeof allowed, &allowed);
}

thread_local bool t_on_worker = false;
thread_local bool t_in_call = false;  // this thread is inside run_strips

struct InCall {
    bool saved = t_in_call;
    InCall() { t_in_call = true; }
    ~InCall() { t_in_call = saved; }
};

// Sleeping is a bare futex, not a condition variable: a broadcast on
// glibc's condition variable can wait for a woken waiter that has not yet
// run, the very wait this pool exists to avoid. A wake never blocks.
void futex_wait(std::atomic<uint32_t>* word, uint32_t expected) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void futex_wake_all(std::atomic<uint32_t>* word) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

struct Pool {
    std::atomic<uint64_t> ticket{0};
    // The current job, written by the caller before it publishes the
    // generation; atomics because a late worker may read them while the
    // next job is written (its claim then fails).
    std::atomic<StripFn> fn{nullptr};
    std::atomic<void*> ctx{nullptr};
    std::atomic<int64_t> count{0};
    std::atomic<int> team{0};
    std::atomic<int> caller_cpu{-1};
    std::atomic<int64_t> done{0};  // finished (or skipped) strips of the job
    std::atomic<bool> failed{false};
    std::mutex error_mu;
    std::exception_ptr error;

    std::atomic<bool> busy{false};  // held by the one caller running a job
    std::atomic<bool> stop{false};
    std::atomic<int> sleepers{0};
    std::atomic<uint32_t> wake{0};  // changes with every job (and at exit); sleepers wait on it
    std::atomic<uint32_t> finish{0};  // changes when a job's last strip ends; the caller may wait on it
    std::atomic<bool> caller_sleeps{false};
    std::vector<std::thread> workers;  // changed only by the holder of busy, or at exit
};

void run_one(Pool& p, StripFn fn, void* ctx, int64_t strip, int worker, int64_t count) {
    if (!p.failed.load(std::memory_order_relaxed)) {
        try {
            fn(ctx, strip, worker);
        } catch (...) {
            std::lock_guard<std::mutex> lock(p.error_mu);
            if (!p.error) p.error = std::current_exception();
            p.failed.store(true, std::memory_order_relaxed);
        }
    }
    if (p.done.fetch_add(1, std::memory_order_seq_cst) + 1 == count) {
        p.finish.fetch_add(1, std::memory_order_seq_cst);
        if (p.caller_sleeps.load(std::memory_order_seq_cst)) futex_wake_all(&p.finish);
    }
}

// Claims and runs strips of job `gen` until none is left.
void work(Pool& p, uint64_t gen, int worker, StripFn fn, void* ctx, int64_t count) {
    uint64_t t = p.ticket.load(std::memory_order_acquire);
    for (;;) {
        if ((t >> kGenShift) != gen || int64_t(t & kNextMask) >= count) return;
        if (!p.ticket.compare_exchange_weak(t, t + 1, std::memory_order_acq_rel, std::memory_order_acquire))
            continue;
        run_one(p, fn, ctx, int64_t(t & kNextMask), worker, count);
        t = p.ticket.load(std::memory_order_acquire);
    }
}

void worker_main(Pool* p, int id, uint64_t seen) {
    t_on_worker = true;
    for (;;) {
        uint64_t t;
        auto idle = [&] {
            t = p->ticket.load(std::memory_order_acquire);
            return (t >> kGenShift) == seen && !p->stop.load(std::memory_order_relaxed);
        };
        while (spin_while(kWorkerSpin, idle)) {
            // Counted before the wake word is read, and the caller reads
            // the count after it changes the word: one of the two sees the
            // other, so no wake-up is lost.
            const uint32_t word = p->wake.load(std::memory_order_seq_cst);
            p->sleepers.fetch_add(1, std::memory_order_seq_cst);
            if ((p->ticket.load(std::memory_order_seq_cst) >> kGenShift) == seen &&
                !p->stop.load(std::memory_order_seq_cst))
                futex_wait(&p->wake, word);
            p->sleepers.fetch_sub(1, std::memory_order_relaxed);
        }
        if (p->stop.load(std::memory_order_relaxed)) return;
        seen = t >> kGenShift;
        // Read after the generation (acquire): this job's fields or a later
        // job's, in which case the claim in work() fails.
        const int team = p->team.load(std::memory_order_relaxed);
        const StripFn fn = p->fn.load(std::memory_order_relaxed);
        void* const ctx = p->ctx.load(std::memory_order_relaxed);
        const int64_t count = p->count.load(std::memory_order_relaxed);
        if (id < team) {
            step_off_cpu(p->caller_cpu.load(std::memory_order_relaxed), team);
            work(*p, seen, id, fn, ctx, count);
        }
    }
}

std::atomic<Pool*> g_pool{nullptr};
std::mutex g_create_mu;

// In a forked child the workers do not exist and the pool's locks may be
// held by threads that do not either: the child leaks the old pool and
// builds a new one on its first call.
void forget_pool_in_child() { g_pool.store(nullptr, std::memory_order_relaxed); }

// Stops and joins the workers when the process exits or the library is
// unloaded, so no thread runs this code after it is gone. The pool itself
// stays: a call after this runs all its strips on the caller.
struct PoolShutdown {
    ~PoolShutdown() {
        Pool* p = g_pool.load(std::memory_order_acquire);
        if (!p) return;
        p->stop.store(true, std::memory_order_seq_cst);
        p->wake.fetch_add(1, std::memory_order_seq_cst);
        futex_wake_all(&p->wake);
        for (std::thread& w : p->workers)
            if (w.joinable()) w.join();
    }
} g_shutdown;

Pool* pool() {
    Pool* p = g_pool.load(std::memory_order_acquire);
    if (p) return p;
    std::lock_guard<std::mutex> lock(g_create_mu);
    static const bool registered = [] { return pthread_atfork(nullptr, nullptr, &forget_pool_in_child) == 0; }();
    (void)registered;
    p = g_pool.load(std::memory_order_acquire);
    if (!p) {
        p = new Pool;
        g_pool.store(p, std::memory_order_release);
    }
    return p;
}

// Off unless VANTREL_POOL=1. Every op's team now goes through run_strips,
// and with a busy process beside it the pool keeps passes near their quiet
// time, but after an idle gap its sleeping workers wake too late to take
// their share of a short pass (single convolutions, int8 MobileNetV2: 1.3
// to 2 times OpenMP's time in benchmarks that alternate engines).
std::atomic<bool> g_enabled{[] {
    const char* v = std::getenv("VANTREL_POOL");
    return v && *v && *v != '0';
}()};

void run_serial(int64_t count, StripFn fn, void* ctx) {
    for (int64_t i = 0; i < count; ++i) fn(ctx, i, 0);
}

void run_openmp(int64_t count, int team, StripFn fn, void* ctx) {
    std::atomic<int64_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    const int caller_cpu = sched_getcpu();
#pragma omp parallel num_threads(team)
    {
        const int worker = omp_get_thread_num();
        if (worker != 0) step_off_cpu(caller_cpu, omp_get_num_threads());
        for (int64_t i = next.fetch_add(1, std::memory_order_relaxed); i < count;
             i = next.fetch_add(1, std::memory_order_relaxed)) {
            if (failed.load(std::memory_order_relaxed)) continue;
            try {
                fn(ctx, i, worker);
            } catch (...) {
#pragma omp critical(vantrel_strip_error)
                if (!error) error = std::current_exception();
                failed.store(true, std::memory_order_relaxed);
            }
        }
    }
    if (error) std::rethrow_exception(error);
}

}  // namespace

void set_strip_pool_enabled(bool on) { g_enabled.store(on, std::memory_order_relaxed); }
bool strip_pool_enabled() { return g_enabled.load(std::memory_order_relaxed); }

int strip_team() {
    if (t_on_worker || t_in_call || omp_in_parallel()) return 1;
    const int t = omp_get_max_threads();
    return t > 1 ? t : 1;
}

void run_strips(int64_t count, int team, StripFn fn, void* ctx) {
    if (count <= 0) return;
    if (team > strip_team()) team = strip_team();
    const InCall in_call;
    if (team < 2 || count == 1 || uint64_t(count) > kNextMask) return run_serial(count, fn, ctx);
    if (!g_enabled.load(std::memory_order_relaxed)) return run_openmp(count, team, fn, ctx);
    Pool& p = *pool();
    // Another call holds the pool (another thread's, or this one's from
    // inside a strip): this call's strips run here.
    if (p.busy.exchange(true, std::memory_order_acquire)) return run_serial(count, fn, ctx);
    struct Release {
        Pool& p;
        ~Release() { p.busy.store(false, std::memory_order_release); }
    } release{p};

    const uint64_t current = p.ticket.load(std::memory_order_relaxed) >> kGenShift;
    // The ticket is closed (a generation of its own, no strip left) before
    // the job's fields change: a late worker of the previous job that reads
    // the new fields can then no longer claim a strip under the old ticket.
    const uint64_t closed = (current + 1) & kNextMask, gen = (current + 2) & kNextMask;
    p.ticket.store((closed << kGenShift) | kNextMask, std::memory_order_seq_cst);
    if (!p.stop.load(std::memory_order_relaxed)) {
        try {
            p.workers.reserve(size_t(team - 1));
            while (int(p.workers.size()) < team - 1)
                p.workers.emplace_back(worker_main, &p, int(p.workers.size()) + 1, current);
        } catch (const std::system_error&) {
            // No more threads to be had: the caller and the workers there
            // are take every strip between them.
        }
    }
    p.fn.store(fn, std::memory_order_relaxed);
    p.ctx.store(ctx, std::memory_order_relaxed);
    p.count.store(count, std::memory_order_relaxed);
    p.team.store(team, std::memory_order_relaxed);
    p.caller_cpu.store(sched_getcpu(), std::memory_order_relaxed);
    p.done.store(0, std::memory_order_relaxed);
    p.failed.store(false, std::memory_order_relaxed);
    p.ticket.store(gen << kGenShift, std::memory_order_seq_cst);
    p.wake.fetch_add(1, std::memory_order_seq_cst);
    if (p.sleepers.load(std::memory_order_seq_cst) > 0) futex_wake_all(&p.wake);

    work(p, gen, 0, fn, ctx, count);
    // Every strip is claimed; wait only for those still running elsewhere.
    auto running = [&] { return p.done.load(std::memory_order_seq_cst) < count; };
    if (spin_while(kCallerSpin, running)) {
        // The last strip's thread bumps `finish` after `done`, then looks for
        // a sleeping caller; the caller flags itself before it looks at
        // `done` again: one of the two sees the other.
        while (running()) {
            const uint32_t word = p.finish.load(std::memory_order_seq_cst);
            p.caller_sleeps.store(true, std::memory_order_seq_cst);
            if (running()) futex_wait(&p.finish, word);
            p.caller_sleeps.store(false, std::memory_order_relaxed);
        }
    }
    std::exception_ptr error;
    {
        std::lock_guard<std::mutex> lock(p.error_mu);
        error = p.error;
        p.error = nullptr;
    }
    if (error) std::rethrow_exception(error);
}

}  // namespace vantrel
