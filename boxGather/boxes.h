// Numeric work of boxGather on plain arrays: placing a square box around a position, shifting
// it inside the frame, and copying it out of the image stack. Nothing here touches the host.
#pragma once

#include <cstdint>

// Cuts the g-by-g box around point i out of `stack` (rows x cols x frames, column-major)
// into slice i of `boxes` (g x g x N) and records the box's 0-based corner in cornerX[i] and
// cornerY[i]. The box is centred on (x[i], y[i]) rounded half up (for even g the point sits
// at offset g/2 - 1) and shifted inward at the borders, never cut short; it comes from frame
// z[i] truncated toward zero.
// Requires 1 <= g <= rows, g <= cols, and z[i] truncating to an existing frame.
void cutBox(const float* stack, int64_t i, int32_t g, int32_t rows, int32_t cols, const double* x,
            const double* y, const double* z, float* boxes, float* cornerX, float* cornerY);

// The stack boxes are cut from, and the positions to cut them around.
struct BoxSource {
    const float* stack;  // rows x cols x frames, column-major
    int32_t rows;
    int32_t cols;
    const double* x;
    const double* y;
    const double* z;
};

// Where the boxes and their corners go: g x g x N values and N corners on each axis.
struct BoxTarget {
    float* boxes;
    float* cornerX;
    float* cornerY;
    int32_t g;
};

// cutBox for every point i < pointCount, fetching the stack ahead of the copies, on `threads`
// threads (1: the calling thread alone). The result does not depend on the thread count.
void cutBoxes(const BoxSource& source, const BoxTarget& target, int64_t pointCount,
              int threads = 1);
