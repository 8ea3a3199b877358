// The inputs the fit modules share, as they take them from the host: included by their entries
// only, since it speaks to the host. A bad input ends the call with "<module>:<reason>".
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <limits>

#include "depth.h"
#include "gateway.h"
#include "likelihood.h"

namespace fitting {

// Read variances are not below 0 and not NaN; an infinite one marks a pixel of no information.
template <class T>
bool allNotNegative(const void* data, size_t count) {
    const T* values = static_cast<const T*>(data);
    for (size_t k = 0; k < count; ++k) {
        if (!(values[k] >= 0)) {
            return false;
        }
    }
    return true;
}

// The stack of boxes `name` (boxes, regions) must be a real, full single or double array, or
// the call ends with ":WrongType".
inline void requireBoxClass(const mxArray* array, const char* name) {
    const mxClassID classId = mxGetClassID(array);
    if ((classId != mxSINGLE_CLASS && classId != mxDOUBLE_CLASS) || mxIsComplex(array) ||
        mxIsSparse(array)) {
        char message[128];
        std::snprintf(message, sizeof message, "%s must be a real, full single or double array.",
                      name);
        gateway::raiseEscaped("WrongType", message);
    }
}

// The shape of the stack of boxes `name`: g-by-g or g-by-g-by-K with g at least 3, or the call
// ends with ":WrongSize".
inline gateway::Shape boxStackShape(const mxArray* array, const char* name) {
    const gateway::Shape shape = gateway::readShape(array);
    if (shape.count > 3 || shape.dims[1] != shape.dims[0] || shape.dims[0] < 3) {
        char message[128];
        std::snprintf(message, sizeof message,
                      "%s must be g-by-g or g-by-g-by-K, with g at least 3.", name);
        gateway::raiseEscaped("WrongSize", message);
    }
    return shape;
}

// A width must be finite, above 0 and at most the side g of the boxes (`side` names it: "box
// side"), or the call ends with ":BadSigma".
inline double checkedSigma(double sigma, int32_t g, const char* side) {
    if (!(std::isfinite(sigma) && sigma > 0.0 && sigma <= g)) {
        char message[128];
        std::snprintf(message, sizeof message,
                      "sigma must be finite, above 0 and at most the %s %d.", side, g);
        gateway::raiseEscaped("BadSigma", message);
    }
    return sigma;
}

// The read variance of the pixels of `data` (named `dataName` in the messages): a real, full
// single or double array of its size, or a scalar for all, not below 0 (infinite for a pixel
// of no information); otherwise
// the call ends with "<module>:WrongType", ":WrongSize" or ":BadVariance".
inline ReadVariance readVarianceOf(const mxArray* array, const mxArray* data,
                                   const char* dataName) {
    const mxClassID classId = mxGetClassID(array);
    if ((classId != mxSINGLE_CLASS && classId != mxDOUBLE_CLASS) || mxIsComplex(array) ||
        mxIsSparse(array)) {
        gateway::raiseEscaped("WrongType",
                              "readVariance must be a real, full single or double array.");
    }
    const size_t count = mxGetNumberOfElements(array);
    bool sameSize = mxGetNumberOfDimensions(array) == mxGetNumberOfDimensions(data);
    for (mwSize k = 0; sameSize && k < mxGetNumberOfDimensions(array); ++k) {
        sameSize = mxGetDimensions(array)[k] == mxGetDimensions(data)[k];
    }
    if (count != 1 && !sameSize) {
        char message[128];
        std::snprintf(message, sizeof message, "readVariance must be a scalar or the size of %s.",
                      dataName);
        gateway::raiseEscaped("WrongSize", message);
    }
    const bool single = classId == mxSINGLE_CLASS;
    const void* values = mxGetData(array);
    if (single ? !allNotNegative<float>(values, count) : !allNotNegative<double>(values, count)) {
        gateway::raiseEscaped("BadVariance",
                              "readVariance must not be below 0 or NaN (Inf: no information).");
    }
    return ReadVariance{values, single, count != 1};
}

// The depth calibration `psf`: a 1-by-1 struct whose fields sigma0, c, d, A, B and zRange are
// real, finite and 1-by-2 each and make a usable calibration (depth.h); otherwise the call ends
// with "<module>:BadPsf".
inline DepthCalibration depthCalibrationOf(const mxArray* psf) {
    if (!mxIsStruct(psf) || mxGetNumberOfElements(psf) != 1) {
        gateway::raiseEscaped("BadPsf",
                              "psf must be a 1-by-1 struct with fields sigma0, c, d, A, B and "
                              "zRange.");
    }
    DepthCalibration calibration{};
    const struct {
        const char* name;
        double* values;
    } fields[] = {{"sigma0", calibration.sigma0}, {"c", calibration.c},
                  {"d", calibration.d},           {"A", calibration.a},
                  {"B", calibration.b},           {"zRange", calibration.zRange}};
    for (const auto& field : fields) {
        const mxArray* value = mxGetField(psf, 0, field.name);
        bool pair = value != nullptr && gateway::isRealNumeric(value);
        if (pair) {
            const gateway::Shape shape = gateway::readShape(value);
            pair = shape.count == 2 && shape.dims[0] == 1 && shape.dims[1] == 2;
        }
        if (pair) {
            gateway::Scratch scratch;
            const double* read = gateway::readAsDoubles(value, 2, &scratch);
            field.values[0] = read[0];
            field.values[1] = read[1];
            pair = std::isfinite(read[0]) && std::isfinite(read[1]);
        }
        if (!pair) {
            char message[128];
            std::snprintf(message, sizeof message, "psf.%s must be real, finite and 1-by-2.",
                          field.name);
            gateway::raiseEscaped("BadPsf", message);
        }
    }
    if (!isUsableCalibration(calibration)) {
        gateway::raiseEscaped("BadPsf",
                              "psf must have sigma0 and d above 0, zRange increasing, and each "
                              "curve's bracket above 0 throughout zRange.");
    }
    return calibration;
}

}  // namespace fitting
