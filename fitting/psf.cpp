#include "psf.h"

#include <cmath>
#include <cstddef>

namespace {

constexpr double kPi = 3.14159265358979323846;

}  // namespace

AxisModel axisIn(double* memory, int32_t g) {
    const size_t n = static_cast<size_t>(g) + 1;
    return AxisModel{memory,         memory + n,     memory + 2 * n, memory + 3 * n,
                     memory + 4 * n, memory + 5 * n, memory + 6 * n, memory + 7 * n,
                     memory + 8 * n, memory + 9 * n};
}

void integrateAxis(double centre, double sigma, int32_t g, bool widthCurvature,
                   const AxisModel& axis) {
    const double scale = 1.0 / (std::sqrt(2.0) * sigma);
    const double peak = 1.0 / (std::sqrt(2.0 * kPi) * sigma);
    const double spread = -0.5 / (sigma * sigma);
    for (int32_t k = 0; k <= g; ++k) {
        axis.edgeErf[k] = std::erf((k - 0.5 - centre) * scale);
    }
    // The Gaussian at edges one pixel apart by recurrence, four exponentials an axis: from the
    // edge nearest the centre outward, where every factor is at most 1, so nothing overflows
    // and what underflows is 0.
    const double nearest = std::floor(centre + 1.0);
    const auto middle = static_cast<int32_t>(nearest < 0.0 ? 0.0 : (nearest > g ? g : nearest));
    const double edge = middle - 0.5 - centre;
    const double step = std::exp(2.0 * spread);
    axis.edgeGauss[middle] = peak * std::exp(edge * edge * spread);
    double up = std::exp(spread * (2.0 * edge + 1.0));
    for (int32_t k = middle; k < g; ++k, up *= step) {
        axis.edgeGauss[k + 1] = axis.edgeGauss[k] * up;
    }
    double down = std::exp(spread * (1.0 - 2.0 * edge));
    for (int32_t k = middle; k > 0; --k, down *= step) {
        axis.edgeGauss[k - 1] = axis.edgeGauss[k] * down;
    }
    for (int32_t i = 0; i < g; ++i) {
        const double lower = i - 0.5 - centre;
        const double upper = lower + 1.0;
        axis.share[i] = 0.5 * (axis.edgeErf[i + 1] - axis.edgeErf[i]);
        axis.byCentre[i] = axis.edgeGauss[i] - axis.edgeGauss[i + 1];
        axis.byWidth[i] = (lower * axis.edgeGauss[i] - upper * axis.edgeGauss[i + 1]) / sigma;
    }
    if (!widthCurvature) {
        return;
    }
    // With e an edge and G(e) the density there, dG/dsigma = G (e^2 - sigma^2) / sigma^3.
    const double s2 = sigma * sigma;
    for (int32_t i = 0; i < g; ++i) {
        const double lower = i - 0.5 - centre;
        const double upper = lower + 1.0;
        const double gl = axis.edgeGauss[i];
        const double gu = axis.edgeGauss[i + 1];
        axis.byCentreWidth[i] =
            (gl * (lower * lower - s2) - gu * (upper * upper - s2)) / (s2 * sigma);
        axis.byWidthWidth[i] =
            (lower * gl * (lower * lower - 2.0 * s2) - upper * gu * (upper * upper - 2.0 * s2)) /
            (s2 * s2);
    }
}
