#include "depth.h"

#include <cmath>

namespace {

// The bracket 1 + u^2 + A u^3 + B u^4 of one curve.
double bracket(double u, double a, double b) {
    const double u2 = u * u;
    return 1.0 + u2 + a * u2 * u + b * u2 * u2;
}

// Whether the bracket stays above 0 for u in [low, high]: its least value there is at an end
// or where its derivative u (2 + 3A u + 4B u^2) is 0.
bool bracketPositive(double low, double high, double a, double b) {
    double candidates[5] = {low, high, 0.0, low, low};
    if (b != 0.0) {
        const double discriminant = 9.0 * a * a - 32.0 * b;
        if (discriminant >= 0.0) {
            const double root = std::sqrt(discriminant);
            candidates[3] = (-3.0 * a - root) / (8.0 * b);
            candidates[4] = (-3.0 * a + root) / (8.0 * b);
        }
    } else if (a != 0.0) {
        candidates[3] = -2.0 / (3.0 * a);
    }
    for (double u : candidates) {
        if (u >= low && u <= high && !(bracket(u, a, b) > 0.0)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool isUsableCalibration(const DepthCalibration& calibration) {
    const DepthCalibration& k = calibration;
    for (int axis = 0; axis < 2; ++axis) {
        const double values[] = {k.sigma0[axis], k.c[axis], k.d[axis],
                                 k.a[axis],      k.b[axis], k.zRange[axis]};
        for (double value : values) {
            if (!std::isfinite(value)) {
                return false;
            }
        }
        if (!(k.sigma0[axis] > 0.0 && k.d[axis] > 0.0)) {
            return false;
        }
    }
    if (!(k.zRange[0] < k.zRange[1])) {
        return false;
    }
    for (int axis = 0; axis < 2; ++axis) {
        const double low = (k.zRange[0] - k.c[axis]) / k.d[axis];
        const double high = (k.zRange[1] - k.c[axis]) / k.d[axis];
        if (!bracketPositive(low, high, k.a[axis], k.b[axis])) {
            return false;
        }
    }
    return true;
}

WidthAtDepth widthAt(const DepthCalibration& calibration, int axis, double z) {
    const double a = calibration.a[axis];
    const double b = calibration.b[axis];
    const double d = calibration.d[axis];
    const double u = (z - calibration.c[axis]) / d;
    const double q = bracket(u, a, b);
    const double dq = u * (2.0 + u * (3.0 * a + 4.0 * b * u));  // by u
    const double ddq = 2.0 + u * (6.0 * a + 12.0 * b * u);
    const double root = std::sqrt(q);
    const double sigma = calibration.sigma0[axis] * root;
    // sigma = s0 sqrt(q): sigma' = s0 q' / (2 sqrt q), sigma'' = s0 (q'' / (2 sqrt q) -
    // q'^2 / (4 q sqrt q)), each by u, then divided by d per derivative.
    const double slope = calibration.sigma0[axis] * dq / (2.0 * root) / d;
    const double curvature =
        calibration.sigma0[axis] * (ddq / (2.0 * root) - dq * dq / (4.0 * q * root)) / (d * d);
    return WidthAtDepth{sigma, slope, curvature};
}

double longestDepthStep(const DepthCalibration& calibration) {
    return 0.25 * std::fmin(calibration.d[0], calibration.d[1]);
}

double roundDepth(const DepthCalibration& calibration) {
    constexpr int kSteps = 256;
    const double low = calibration.zRange[0];
    const double step = (calibration.zRange[1] - low) / kSteps;
    double best = low;
    double least =
        std::fabs(widthAt(calibration, 0, low).sigma - widthAt(calibration, 1, low).sigma);
    for (int k = 1; k <= kSteps; ++k) {
        const double z = low + k * step;
        const double apart =
            std::fabs(widthAt(calibration, 0, z).sigma - widthAt(calibration, 1, z).sigma);
        if (apart < least) {
            least = apart;
            best = z;
        }
    }
    return best;
}

void alongDepth(const WidthAtDepth& width, int32_t g, bool curvature, const AxisModel& axis) {
    const double s = width.slope;
    for (int32_t i = 0; i < g; ++i) {
        axis.byDepth[i] = axis.byWidth[i] * s;
    }
    if (!curvature) {
        return;
    }
    for (int32_t i = 0; i < g; ++i) {
        axis.byCentreDepth[i] = axis.byCentreWidth[i] * s;
        axis.byDepthDepth[i] = axis.byWidthWidth[i] * s * s + axis.byWidth[i] * width.curvature;
    }
}
