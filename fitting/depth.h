// The depth of a spot from its shape: with a cylindrical lens in the emission path, a spot at
// depth z has a width along each axis that follows a defocus curve,
//   sigma(z) = sigma0 sqrt(1 + u^2 + A u^3 + B u^4),  u = (z - c) / d,
// one curve for x and one for y, each with its own focus c. Host-free.
#pragma once

#include "psf.h"

// The two curves (index 0 along x, 1 along y) and the depths over which they were measured.
struct DepthCalibration {
    double sigma0[2];  // pixels
    double c[2];       // nm
    double d[2];       // nm
    double a[2];
    double b[2];
    double zRange[2];  // nm, low then high
};

// A width at one depth, with its first and second derivatives by the depth.
struct WidthAtDepth {
    double sigma;
    double slope;
    double curvature;
};

// Whether the curves describe widths: sigma0 and d above 0, zRange increasing, and the bracket
// under the square root above 0 at every depth of zRange. Every value must be finite.
bool isUsableCalibration(const DepthCalibration& calibration);

// The width along `axis` at depth z, for a usable calibration and z within its range.
WidthAtDepth widthAt(const DepthCalibration& calibration, int axis, double z);

// How far a fit's depth may move in one step: a quarter of the curves' shorter depth scale d,
// over which a width changes by about an eighth of itself.
double longestDepthStep(const DepthCalibration& calibration);

// The depth within the range where the two widths are closest: where a spot whose depth is
// not yet known starts.
double roundDepth(const DepthCalibration& calibration);

// Turns an axis integrated at width.sigma (its width curvature too when `curvature`) into its
// derivatives by depth: byDepth, byCentreDepth and byDepthDepth, by the chain rule.
void alongDepth(const WidthAtDepth& width, int32_t g, bool curvature, const AxisModel& axis);
