#include "mosaic.h"

namespace {

// Index of the pixel holding `coordinate` along an axis whose last pixel is `last`. Clamping
// happens in floating point first, so NaN and infinities never reach the integer conversion.
inline int64_t pixelIndex(float coordinate, double last) {
    double value = coordinate;
    value = value > 0.0 ? value : 0.0;  // also catches NaN
    value = value < last ? value : last;
    return static_cast<int64_t>(value);  // truncation is floor for non-negative values
}

constexpr float kTopLevel = 1023.0f;

}  // namespace

void binPoints(int32_t sizeX, int32_t sizeY, int64_t pointCount, const float* x, const float* y,
               uint16_t* counts) {
    const double lastX = sizeX - 1.0;
    const double lastY = sizeY - 1.0;
    const int64_t stride = sizeX;
    for (int64_t i = 0; i < pointCount; ++i) {
        uint16_t& count = counts[pixelIndex(x[i], lastX) + stride * pixelIndex(y[i], lastY)];
        count = static_cast<uint16_t>(count + (count != UINT16_MAX));
    }
}

uint16_t largestCount(const uint16_t* counts, int64_t pixelCount) {
    uint16_t largest = 0;
    for (int64_t k = 0; k < pixelCount; ++k) {
        largest = counts[k] > largest ? counts[k] : largest;
    }
    return largest;
}

void equalizeCounts(uint16_t* counts, float* equalised, int64_t pixelCount, uint16_t largest,
                    int64_t* countHist, float* cumCount) {
    for (int64_t k = 0; k < pixelCount; ++k) {
        // Rendered images are mostly empty: skipping the zeros spares a long chain of
        // increments of the same bin.
        if (counts[k] != 0) {
            ++countHist[counts[k]];
        }
    }
    // Single-precision running sum, as the levels have always been computed.
    cumCount[0] = 0.0f;
    for (int c = 1; c <= largest; ++c) {
        cumCount[c] = static_cast<float>(countHist[c]) + cumCount[c - 1];
    }
    const int64_t nonEmpty = static_cast<int64_t>(cumCount[largest]);
    const float divisor = static_cast<float>(nonEmpty - 1);
    // From here on cumCount[c] holds the level of count c; count 0 keeps level 0.
    for (int c = 1; c < largest; ++c) {
        const float level = ((cumCount[c] - 1.0f) * kTopLevel) / divisor;
        cumCount[c] = level < kTopLevel ? level : kTopLevel;
    }
    // The most crowded pixels are the top of the scale, whatever the rounding of the formula
    // (from 16402 non-empty pixels on it can miss 1023 on either side), and a lone non-empty
    // pixel is not 0 / 0.
    if (largest > 0) {
        cumCount[largest] = kTopLevel;
    }
    if (equalised != nullptr) {
        for (int64_t k = 0; k < pixelCount; ++k) {
            const float level = cumCount[counts[k]];
            equalised[k] = level;
            counts[k] = static_cast<uint16_t>(static_cast<int32_t>(level));
        }
    } else {
        for (int64_t k = 0; k < pixelCount; ++k) {
            counts[k] = static_cast<uint16_t>(static_cast<int32_t>(cumCount[counts[k]]));
        }
    }
}
