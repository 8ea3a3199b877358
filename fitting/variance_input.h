// The read variance as the fit modules take it from the host: included by their entries only,
// since it speaks to the host.
#pragma once

#include <cstddef>
#include <cstdio>
#include <limits>

#include "gateway.h"
#include "likelihood.h"

namespace fitting {

template <class T>
bool allFiniteAndNotNegative(const void* data, size_t count) {
    const T* values = static_cast<const T*>(data);
    for (size_t k = 0; k < count; ++k) {
        if (!(values[k] >= 0 && values[k] <= std::numeric_limits<T>::max())) {
            return false;
        }
    }
    return true;
}

// The read variance of the pixels of `data` (named `dataName` in the messages): a real, full
// single or double array of its size, or a scalar for all, finite and not below 0; otherwise
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
    if (single ? !allFiniteAndNotNegative<float>(values, count)
               : !allFiniteAndNotNegative<double>(values, count)) {
        gateway::raiseEscaped("BadVariance", "readVariance must be finite and not below 0.");
    }
    return ReadVariance{values, single, count != 1};
}

}  // namespace fitting
