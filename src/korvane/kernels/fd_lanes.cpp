// Many one-boundary solves of one level at once: four lanes, each a solve
// of its own contract, stepped in lockstep so that one Brennan & Schwartz
// sweep (fd_sweep.h) advances all four, their systems interleaved by row.
// The sweep is elementwise and each lane meets the stages, drops and ends
// of its own solve (Cursor), so a lane computes the doubles its solve
// computes alone; a lane that finishes takes the next contract.  The sweep
// runs in AVX2 vectors where the CPU has them (fd_lanes_avx2.cpp).
#include "fd_sweep.h"
#include "fd_work.h"
#include "simd.h"

#include <cstring>

namespace korvane::kernels::fd {

#if KORVANE_FD_AVX2
void sweep_lanes_avx2(int dir, int n, const double *lo, const double *di, const double *up,
                      const double *lu, const double *g, double *V, double *dp, double *cp,
                      const double *k, const double *e);
#endif

namespace {

constexpr int LANES = 4;

// Four doubles with elementwise arithmetic: the portable lanes.
struct Pack {
    double v[LANES];

    template <class F>
    friend Pack map(const Pack &a, const Pack &b, F f)
    {
        Pack r;
        for (int l = 0; l < LANES; ++l)
            r.v[l] = f(a.v[l], b.v[l]);
        return r;
    }
    friend Pack operator+(const Pack &a, const Pack &b) { return map(a, b, [](double x, double y) { return x + y; }); }
    friend Pack operator-(const Pack &a, const Pack &b) { return map(a, b, [](double x, double y) { return x - y; }); }
    friend Pack operator*(const Pack &a, const Pack &b) { return map(a, b, [](double x, double y) { return x * y; }); }
    friend Pack operator/(const Pack &a, const Pack &b) { return map(a, b, [](double x, double y) { return x / y; }); }
    friend Pack operator-(const Pack &a) { return map(a, a, [](double x, double) { return -x; }); }
};

struct Mask {
    bool v[LANES];
};

struct PackOps {
    static Pack splat(double x) { return Pack{{x, x, x, x}}; }
    static Mask less(const Pack &a, const Pack &b)
    {
        Mask m;
        for (int l = 0; l < LANES; ++l)
            m.v[l] = a.v[l] < b.v[l];
        return m;
    }
    static Pack select(const Mask &m, const Pack &a, const Pack &b)
    {
        Pack r;
        for (int l = 0; l < LANES; ++l)
            r.v[l] = m.v[l] ? a.v[l] : b.v[l];
        return r;
    }
    static bool any(const Mask &m) { return m.v[0] || m.v[1] || m.v[2] || m.v[3]; }
};

using SweepLanes = void (*)(int, int, const double *, const double *, const double *,
                            const double *, const double *, double *, double *, double *,
                            const double *, const double *);

void sweep_lanes_portable(int dir, int n, const double *lo, const double *di, const double *up,
                          const double *lu, const double *g, double *V, double *dp, double *cp,
                          const double *k, const double *e)
{
    const auto v = [](const double *a) { return reinterpret_cast<const Pack *>(a); };
    const auto w = [](double *a) { return reinterpret_cast<Pack *>(a); };
    if (dir < 0)
        sweep<Pack, PackOps, -1, false>(n, v(lo), v(di), v(up), v(lu), v(g), w(V), w(dp), w(cp),
                                        *v(k), *v(e), nullptr, nullptr);
    else
        sweep<Pack, PackOps, 1, false>(n, v(lo), v(di), v(up), v(lu), v(g), w(V), w(dp), w(cp),
                                       *v(k), *v(e), nullptr, nullptr);
}

SweepLanes choose_sweep()
{
#if KORVANE_FD_AVX2
    if (simd_level() != Simd::SCALAR)
        return sweep_lanes_avx2;
#endif
    return sweep_lanes_portable;
}

// The lanes' systems interleaved by row: a[j][l] is row j of lane l.
template <int CAP>
struct Block {
    alignas(32) double lo[CAP + 2][LANES];
    alignas(32) double di[CAP + 2][LANES];
    alignas(32) double up[CAP + 2][LANES];
    alignas(32) double lu[CAP + 2][LANES];
    alignas(32) double g[CAP + 2][LANES];
    alignas(32) double V[CAP + 2][LANES];
    alignas(32) double dp[CAP + 2][LANES];
    alignas(32) double cp[CAP + 2][LANES];
    alignas(32) double k[LANES];
    alignas(32) double e[LANES];
};

template <int CAP>
struct Lane {
    LaneJob *job;  // null when idle
    TimeGrid tg;
    Cursor cursor;
    double S[CAP + 1];
    double stencil[CAP + 1][4];  // the drops' interpolation (cubic_table)
    int spot;
};

template <int CAP>
struct Lanes {
    using Wk = Work<CAP, 1, 0>;
    Block<CAP> b;
    Lane<CAP> lane[LANES];
    Wk w;  // one solve's state: a lane's start and drops
    int n;
};

// Lane l takes `job`: its start (begin) scattered into column l.
template <int CAP>
bool load(Lanes<CAP> &ls, const FdScheme &sc, int level, int l, LaneJob *job)
{
    auto &w = ls.w;
    auto &b = ls.b;
    if (!begin(w, sc, level, *job->p, *job->divs, 0) || w.n != ls.n)
        return false;
    Lane<CAP> &ln = ls.lane[l];
    ln.job = job;
    time_grid(sc, level, *job->divs, job->p->flag, &ln.tg);
    ln.cursor = Cursor{};
    ln.spot = w.spot;
    if (job->divs->n > 0)
        std::memcpy(ln.stencil, w.stencil, sizeof(double[4]) * (w.n + 1));
    for (int j = 0; j <= w.n; ++j) {
        ln.S[j] = w.S[j];
        b.lo[j][l] = w.lo[j];
        b.di[j][l] = w.di[j];
        b.up[j][l] = w.up[j];
        b.lu[j][l] = w.lu[j];
        b.g[j][l] = w.g[j];
        b.V[j][l] = w.track[0].V[j];
    }
    b.lu[w.n + 1][l] = 0.0;
    return true;
}

// Lane l's drop of d, on the solve's state gathered from column l.
template <int CAP>
void lane_drop(Lanes<CAP> &ls, int l, double d)
{
    auto &w = ls.w;
    auto &b = ls.b;
    const Lane<CAP> &ln = ls.lane[l];
    const Problem &p = *ln.job->p;
    w.n = ls.n;
    w.partials = 0;
    w.strike = p.K;
    w.side = p.flag == CALL ? 1.0 : -1.0;
    w.cubic = ln.stencil;
    for (int j = 0; j <= ls.n; ++j) {
        w.S[j] = ln.S[j];
        w.g[j] = b.g[j][l];
        w.track[0].V[j] = b.V[j][l];
    }
    drop(w, w.track[0], d);
    for (int j = 0; j <= ls.n; ++j)
        b.V[j][l] = w.track[0].V[j];
}

// An idle lane: a system that stays at zero.
template <int CAP>
void idle(Lanes<CAP> &ls, int l)
{
    ls.lane[l].job = nullptr;
    for (int j = 0; j <= ls.n + 1; ++j)
        ls.b.lo[j][l] = ls.b.di[j][l] = ls.b.up[j][l] = ls.b.lu[j][l] = ls.b.g[j][l] = ls.b.V[j][l] = 0.0;
    ls.b.k[l] = ls.b.e[l] = 0.0;
}

template <int CAP>
bool run_lanes(Lanes<CAP> &ls, const FdScheme &sc, int level, std::int32_t flag, LaneJob *jobs,
               int count, int *solves)
{
    static const SweepLanes sweep_lanes = choose_sweep();
    ls.n = level_nodes(sc, level);
    if (ls.n > CAP)
        return false;
    int next = 0;  // the next job to take
    const auto take = [&](int l) {
        while (next < count && jobs[next].p->flag != flag)
            ++next;
        if (next == count) {
            idle(ls, l);
            return true;
        }
        return load(ls, sc, level, l, &jobs[next++]);
    };
    for (int l = 0; l < LANES; ++l) {
        if (!take(l))
            return false;
    }
    for (;;) {
        // Each busy lane to its next stage: drops on the way, and a new
        // contract where its solve ends.
        bool busy = false;
        for (int l = 0; l < LANES; ++l) {
            Lane<CAP> &ln = ls.lane[l];
            while (ln.job) {
                double k = 0.0, e = 0.0, trend = 0.0;
                const Cursor::Event event = ln.cursor.next(ln.tg, &k, &e, &trend);
                if (event == Cursor::STAGE) {
                    ls.b.k[l] = k;
                    ls.b.e[l] = e;
                    busy = true;
                    ++*solves;
                    break;
                }
                if (event == Cursor::DROP) {
                    lane_drop(ls, l, e);
                } else {
                    ln.job->price = ls.b.V[ln.spot][l];
                    if (!take(l))
                        return false;
                }
            }
        }
        if (!busy)
            return true;
        auto &b = ls.b;
        sweep_lanes(flag == CALL ? 1 : -1, ls.n, &b.lo[0][0], &b.di[0][0], &b.up[0][0], &b.lu[0][0],
                    &b.g[0][0], &b.V[0][0], &b.dp[0][0], &b.cp[0][0], b.k, b.e);
    }
}

}  // namespace

bool solve_lanes(const FdScheme &sc, int level, LaneJob *jobs, int count, int *solves)
{
    if (!fits(sc, level, SMALL_NODES))
        return false;
    Lanes<SMALL_NODES> ls;
    return run_lanes(ls, sc, level, PUT, jobs, count, solves) &&
           run_lanes(ls, sc, level, CALL, jobs, count, solves);
}

}  // namespace korvane::kernels::fd
