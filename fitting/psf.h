// The pixel-integrated Gaussian along one axis of a box: the piece every spot model of the fits
// is made of. Host-free.
#pragma once

#include <cstdint>

// One axis of a spot of centre c and width sigma over g pixels, pixel i covering
// i - 1/2 ... i + 1/2: the share of a unit spot in each pixel and its derivatives.
struct AxisModel {
    double* share;          // E(i)
    double* byCentre;       // dE/dc
    double* byWidth;        // dE/dsigma; d2E/dc2 is byWidth / sigma
    double* byCentreWidth;  // d2E/dc dsigma, filled only when the width's curvature is asked for
    double* byWidthWidth;   // d2E/dsigma2, likewise
    double* edgeErf;        // the error function at each of the g + 1 pixel edges
    double* edgeGauss;      // the Gaussian density at each edge
    // When the width follows a depth (depth.h): dE/dz, d2E/dc dz and d2E/dz2.
    double* byDepth;
    double* byCentreDepth;
    double* byDepthDepth;
};

// Arrays of g + 1 doubles an axis takes.
constexpr int kAxisArrays = 10;

// An axis laid out in kAxisArrays * (g + 1) doubles at `memory`.
AxisModel axisIn(double* memory, int32_t g);

// Fills `axis` for centre and sigma; the two second derivatives by the width only when
// `widthCurvature`. Nothing overflows for any finite centre and positive sigma: what
// underflows is 0.
void integrateAxis(double centre, double sigma, int32_t g, bool widthCurvature,
                   const AxisModel& axis);
