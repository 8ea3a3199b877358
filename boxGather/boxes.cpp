#include "boxes.h"

#include <cmath>
#include <cstring>

namespace {

// First pixel of a box of g pixels around `position` on an axis of `length` pixels. Worked
// in doubles and clamped before the integer conversion, so any position, infinite ones too,
// gives a start from 0 to length - g.
int64_t boxStart(double position, int32_t g, int32_t length) {
    const double half = std::floor(g * 0.5 + 0.5);
    double start = std::floor(position + 0.5) + 1.0 - half;
    start = start > 0.0 ? start : 0.0;
    const double last = static_cast<double>(length) - g;
    start = start < last ? start : last;
    return static_cast<int64_t>(start);
}

}  // namespace

void cutBox(const float* stack, int64_t i, int32_t g, int32_t rows, int32_t cols, const double* x,
            const double* y, const double* z, float* boxes, float* cornerX, float* cornerY) {
    const int64_t x0 = boxStart(x[i], g, rows);
    const int64_t y0 = boxStart(y[i], g, cols);
    const auto frame = static_cast<int64_t>(z[i]);
    const int64_t frameSize = static_cast<int64_t>(rows) * cols;
    const float* source = stack + x0 + rows * y0 + frameSize * frame;
    float* box = boxes + i * g * g;
    for (int32_t column = 0; column < g; ++column) {
        std::memcpy(box + static_cast<int64_t>(column) * g,
                    source + static_cast<int64_t>(column) * rows,
                    static_cast<size_t>(g) * sizeof(float));
    }
    cornerX[i] = static_cast<float>(x0);
    cornerY[i] = static_cast<float>(y0);
}
