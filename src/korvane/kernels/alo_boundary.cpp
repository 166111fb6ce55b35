// The perpetual boundary of the fixed-point American put (alo_grid.h).
#include "alo_boundary.h"

#include <cmath>
#include <limits>

namespace korvane::kernels::alo_detail {

double perpetual_gap(double r, double q, double vol)
{
    const double v2 = vol * vol;
    const double mu = r - q - 0.5 * v2;
    const double root = std::sqrt(mu * mu + 2 * r * v2);
    // gamma < 0 the put's root of v2/2 g(g - 1) + (r - q) g - r = 0, free of
    // cancellation on either side of mu = 0.
    const double gamma = mu <= 0 ? -2 * r / (root - mu) : (-mu - root) / v2;
    const double ln_XK = value(ln_start(Rates<double>{r, q, vol}));
    if (!(gamma < 0))
        return std::numeric_limits<double>::infinity();
    return ln_XK + std::log1p(-1 / gamma);
}

}  // namespace korvane::kernels::alo_detail
