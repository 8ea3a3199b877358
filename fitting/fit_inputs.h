// The inputs the fit modules share, as they take them from the host: included by their entries
// only, since it speaks to the host. A bad input ends the call with "<module>:<reason>".
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <limits>

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

// sigma must be finite, above 0 and at most the side g of the boxes (`side` names it: "box
// side"), or the call ends with ":BadSigma".
inline double checkedSigma(const mxArray* array, int32_t g, const char* side) {
    const double sigma = mxGetScalar(array);
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

}  // namespace fitting
