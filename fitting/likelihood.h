// The likelihood every fit maximises, and a box's pixels as it reads them. Host-free.
//
// A pixel of d photons with read variance r (photons squared; 0 for an ideal camera) is taken
// as d + r Poisson of mean mu + r, values of d + r below 0 counting as 0: the log-likelihood
// is sum(c log(m) - m) with c = max(d + r, 0) and m = mu + r. A pixel of infinite read variance
// (one the camera cannot measure) carries no information: it adds nothing to any sum, and its
// value is not read.
#pragma once

#include <cmath>
#include <cstdint>

// The read variance of a box's pixels: none, one value for all, or one per pixel laid out as
// the box.
struct ReadVariance {
    const void* values;  // null when there is none
    bool single;         // float values, else double
    bool perPixel;
    double at(int64_t pixel) const {
        const int64_t k = perPixel ? pixel : 0;
        return single ? static_cast<double>(static_cast<const float*>(values)[k])
                      : static_cast<const double*>(values)[k];
    }
};

// A box as the fits read it: every c and r divided by the box's unit, the power of two at or
// above its largest c (at least 2^-995), so that a box in any unit fits alike (and exactly alike
// for units a power of two apart).
struct BoxData {
    int32_t g;
    const double* counts;    // c / unit, g * g column-major
    const double* variance;  // r / unit, or null when every r is 0
    int unitExponent;        // unit = 2^unitExponent
};

enum class BoxState { kUsable, kNoCounts, kNotFinite };

// The background is held at or above this, and photons below this count as gone, both in the
// box's unit.
constexpr double kLeastBackground = 1e-8;
constexpr double kLeastPhotons = 1e-5;

// The least unit, 2^-995: a box whose values all lie below it (subnormal numbers, say) is read
// in it, so that the least background, scaled back, is still a normal number.
constexpr int kLeastUnitExponent = -995;

// Whether pixel k of a box carries no information (its read variance is infinite).
inline bool isAbsent(const BoxData& data, int64_t k) {
    return data.variance != nullptr && std::isinf(data.variance[k]);
}

// Photons of pixel (i, j) of a box, in its unit: its counts less the read variance added to
// them; 0 for a pixel of no information.
inline double photonsAt(const BoxData& data, int32_t i, int32_t j) {
    const int64_t k = i + static_cast<int64_t>(j) * data.g;
    if (data.variance == nullptr) {
        return data.counts[k];
    }
    return isAbsent(data, k) ? 0.0 : data.counts[k] - data.variance[k];
}

// The mean photons of a box's rim pixels that carry information: where a fit's background
// starts.
inline double rimMean(const BoxData& data) {
    const int32_t g = data.g;
    double rim = 0.0;
    int32_t present = 0;
    auto add = [&](int32_t i, int32_t j) {
        if (!isAbsent(data, i + static_cast<int64_t>(j) * g)) {
            rim += photonsAt(data, i, j);
            ++present;
        }
    };
    for (int32_t k = 0; k < g - 1; ++k) {
        add(k, 0);
        add(g - 1, k);
        add(g - 1 - k, g - 1);
        add(0, g - 1 - k);
    }
    return present > 0 ? rim / present : 0.0;
}

// Doubles of memory prepareBox takes for a box of side g.
inline int64_t boxDataLength(int32_t g) {
    return 2 * static_cast<int64_t>(g) * g;
}

// Reads box and read variance into `memory` (boxDataLength(g) doubles) as `data`. kNotFinite
// when a pixel is NaN or infinite, kNoCounts when no c is above 0.
template <class T>
BoxState prepareBox(const T* box, int32_t g, const ReadVariance& variance, double* memory,
                    BoxData* data) {
    const int64_t pixels = static_cast<int64_t>(g) * g;
    double* counts = memory;
    double* read = memory + pixels;
    bool anyVariance = false;
    double largest = 0.0;
    bool finite = true;
    for (int64_t k = 0; k < pixels; ++k) {
        const double value = static_cast<double>(box[k]);
        double c = value;
        if (variance.values != nullptr) {
            read[k] = variance.at(k);
            anyVariance = anyVariance || read[k] != 0.0;
            if (std::isinf(read[k])) {
                counts[k] = 0.0;
                continue;
            }
            c += read[k];
        }
        finite = finite && std::isfinite(value);
        c = c > 0.0 ? c : 0.0;
        counts[k] = c;
        largest = c > largest ? c : largest;
    }
    // value + r overflows to infinity only where both are near the largest double.
    if (!finite || !std::isfinite(largest)) {
        return BoxState::kNotFinite;
    }
    if (!(largest > 0.0)) {
        return BoxState::kNoCounts;
    }
    int exponent = 0;
    const double mantissa = std::frexp(largest, &exponent);
    exponent -= mantissa == 0.5 ? 1 : 0;  // largest a power of two: it is the unit
    exponent = exponent > kLeastUnitExponent ? exponent : kLeastUnitExponent;
    // Exact: a power of two, multiplied by where it is a normal number.
    const bool normal = exponent > -1022 && exponent < 1022;
    const double factor = normal ? std::ldexp(1.0, -exponent) : 0.0;
    auto scale = [&](double* values) {
        for (int64_t k = 0; k < pixels; ++k) {
            values[k] = normal ? values[k] * factor : std::ldexp(values[k], -exponent);
        }
    };
    scale(counts);
    if (anyVariance) {
        scale(read);
    }
    *data = BoxData{g, counts, anyVariance ? read : nullptr, exponent};
    return BoxState::kUsable;
}

// One pixel's share of the log-likelihood ratio 2 sum(m - c + c log(c / m)), halved: a pixel
// with c = 0 adds m, one of no information (m infinite) nothing.
inline double ratioTerm(double c, double m) {
    if (std::isinf(m)) {
        return 0.0;
    }
    return c > 0.0 ? m - c + c * std::log(c / m) : m;
}

// A pixel's residual c / m - 1 given its weight 1 / m: 0 for a pixel of no information, whose
// weight is 0.
inline double residualOf(double counts, double weight) {
    return counts * weight - (weight > 0.0 ? 1.0 : 0.0);
}
