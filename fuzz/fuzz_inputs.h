// Turns fuzz data into host arrays of any class, shape and contents, and checks what every
// call through the stand-in host must leave behind, whatever its inputs.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "standin_host.h"

namespace fuzzing {

// Stops the run with a report libFuzzer keeps as a crash.
#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

// Values on the edges that conversions and rounding get wrong.
inline double edgeValue(FuzzedDataProvider& data) {
    static const double kEdges[] = {std::numeric_limits<double>::quiet_NaN(),
                                    HUGE_VAL,
                                    -HUGE_VAL,
                                    -0.0,
                                    0.0,
                                    1e300,
                                    -1e300,
                                    5e-324,
                                    1e-30,
                                    2147483648.0,
                                    2147483647.0,
                                    -2147483648.0,
                                    -2147483649.0,
                                    9007199254740993.0,
                                    0.5,
                                    1.5,
                                    2.5,
                                    -0.5,
                                    0.49999999999999994,
                                    1.0 - 1e-16,
                                    16777217.0,
                                    65535.0,
                                    65536.0};
    switch (data.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            return kEdges[data.ConsumeIntegralInRange<size_t>(0, std::size(kEdges) - 1)];
        case 1: {
            // Just beside a whole number.
            const double whole = data.ConsumeIntegralInRange<int>(-4, 70);
            return std::nextafter(whole, data.ConsumeBool() ? HUGE_VAL : -HUGE_VAL);
        }
        case 2:
            return data.ConsumeIntegralInRange<int>(-4, 70) +
                   0.5 * data.ConsumeIntegralInRange<int>(0, 1);
        default:
            return data.ConsumeFloatingPointInRange<double>(-100.0, 100.0);
    }
}

inline mxClassID anyClass(FuzzedDataProvider& data) {
    static const mxClassID kClasses[] = {
        mxDOUBLE_CLASS,  mxSINGLE_CLASS, mxINT8_CLASS,   mxUINT8_CLASS,  mxINT16_CLASS,
        mxUINT16_CLASS,  mxINT32_CLASS,  mxUINT32_CLASS, mxINT64_CLASS,  mxUINT64_CLASS,
        mxLOGICAL_CLASS, mxCHAR_CLASS,   mxCELL_CLASS,   mxSTRUCT_CLASS, mxFUNCTION_CLASS};
    return kClasses[data.ConsumeIntegralInRange<size_t>(0, std::size(kClasses) - 1)];
}

// Empty in any dimension, scalar, row, column, matrix, 3-D or 4-D; at most 4096 elements.
inline std::vector<size_t> anyShape(FuzzedDataProvider& data) {
    static const size_t kLengths[] = {0, 1, 1, 2, 3, 4, 5, 7, 8, 16, 33, 64};
    const int count = data.ConsumeIntegralInRange<int>(2, 4);
    std::vector<size_t> dims;
    size_t elements = 1;
    for (int k = 0; k < count; ++k) {
        size_t length = kLengths[data.ConsumeIntegralInRange<size_t>(0, std::size(kLengths) - 1)];
        if (elements * length > 4096) {
            length = 1;
        }
        elements *= length;
        dims.push_back(length);
    }
    return dims;
}

// Fills every element of a numeric, logical or char array from the fuzz data.
inline void fillValues(FuzzedDataProvider& data, mxArray* array) {
    const size_t count = mxGetNumberOfElements(array) * (mxIsComplex(array) ? 2 : 1);
    void* storage = mxGetData(array);
    for (size_t k = 0; k < count; ++k) {
        const double value = edgeValue(data);
        switch (mxGetClassID(array)) {
            case mxDOUBLE_CLASS:
                static_cast<double*>(storage)[k] = value;
                break;
            case mxSINGLE_CLASS:
                static_cast<float*>(storage)[k] = static_cast<float>(value);
                break;
            case mxLOGICAL_CLASS:
                static_cast<bool*>(storage)[k] = data.ConsumeBool();
                break;
            case mxINT8_CLASS:
            case mxUINT8_CLASS:
                static_cast<uint8_t*>(storage)[k] = data.ConsumeIntegral<uint8_t>();
                break;
            case mxINT16_CLASS:
            case mxUINT16_CLASS:
            case mxCHAR_CLASS:
                static_cast<uint16_t*>(storage)[k] = data.ConsumeIntegral<uint16_t>();
                break;
            case mxINT32_CLASS:
            case mxUINT32_CLASS:
                static_cast<uint32_t*>(storage)[k] = data.ConsumeIntegral<uint32_t>();
                break;
            case mxINT64_CLASS:
            case mxUINT64_CLASS:
                static_cast<uint64_t*>(storage)[k] = data.ConsumeIntegral<uint64_t>();
                break;
            default:
                return;  // cells, structs and handles hold nothing a module may read
        }
    }
}

// An array of the given class, or of any class, complexity and sparsity the data picks.
inline standin::ArrayPtr makeArray(FuzzedDataProvider& data, mxClassID classId,
                                   std::vector<size_t> dims) {
    const bool numeric = classId >= mxDOUBLE_CLASS && classId <= mxUINT64_CLASS;
    const bool complex = numeric && data.ConsumeIntegralInRange<int>(0, 15) == 0;
    if (classId == mxDOUBLE_CLASS && data.ConsumeIntegralInRange<int>(0, 31) == 0) {
        return standin::makeSparse(dims[0], dims[1]);
    }
    standin::ArrayPtr array =
        standin::makeArray(classId, std::move(dims), complex ? mxCOMPLEX : mxREAL);
    fillValues(data, array.get());
    return array;
}

inline standin::ArrayPtr anyArray(FuzzedDataProvider& data) {
    const mxClassID classId = anyClass(data);
    return makeArray(data, classId, anyShape(data));
}

// Mostly an array of the class a slot expects, so calls get past the checks; sometimes any.
inline standin::ArrayPtr slotArray(FuzzedDataProvider& data, mxClassID expected,
                                   std::vector<size_t> dims) {
    if (data.ConsumeIntegralInRange<int>(0, 9) == 0) {
        return anyArray(data);
    }
    return makeArray(data, expected, std::move(dims));
}

// A read variance for data of the given dimensions: mostly of that size or a scalar, single
// or double, and mostly not below 0.
inline standin::ArrayPtr readVarianceInput(FuzzedDataProvider& data,
                                           const std::vector<size_t>& dataDims) {
    const mxClassID classId = data.ConsumeBool() ? mxSINGLE_CLASS : mxDOUBLE_CLASS;
    const bool whole = data.ConsumeBool();
    standin::ArrayPtr input =
        slotArray(data, classId, whole ? dataDims : std::vector<size_t>{1, 1});
    mxArray* variance = input.get();
    const mxClassID made = mxGetClassID(variance);
    if (data.ConsumeIntegralInRange<int>(0, 3) != 0 && !mxIsComplex(variance) &&
        !mxIsSparse(variance) && (made == mxDOUBLE_CLASS || made == mxSINGLE_CLASS)) {
        for (size_t e = 0; e < mxGetNumberOfElements(variance); ++e) {
            if (made == mxDOUBLE_CLASS) {
                auto* values = static_cast<double*>(mxGetData(variance));
                values[e] = std::fabs(values[e]);
            } else {
                auto* values = static_cast<float*>(mxGetData(variance));
                values[e] = std::fabs(values[e]);
            }
        }
    }
    return input;
}

// A width or a depth calibration for the fits: a scalar width, a width along each axis, or a
// struct of the calibration's six fields, mostly 1-by-2 doubles near a cylindrical lens's
// curves, sometimes left out, of another class or shape, or of any value.
inline standin::ArrayPtr spotShapeInput(FuzzedDataProvider& data) {
    switch (data.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            return slotArray(data, mxDOUBLE_CLASS, {1, 1});
        case 1:
            return slotArray(data, mxDOUBLE_CLASS, {1, 2});
        default:
            break;
    }
    static const char* const kFields[] = {"sigma0", "c", "d", "A", "B", "zRange"};
    static const double kLens[][2] = {{1.3, 1.25},   {-250, 250},  {450, 440},
                                      {0.05, -0.05}, {0.02, 0.03}, {-700, 700}};
    std::vector<std::pair<std::string, standin::ArrayPtr>> fields;
    for (size_t f = 0; f < std::size(kFields); ++f) {
        switch (data.ConsumeIntegralInRange<int>(0, 11)) {
            case 0:
                continue;  // left out
            case 1:
                fields.emplace_back(kFields[f], anyArray(data));
                break;
            case 2:
                fields.emplace_back(kFields[f], makeArray(data, mxDOUBLE_CLASS, {1, 2}));
                break;
            default: {
                standin::ArrayPtr pair = standin::makeArray(mxDOUBLE_CLASS, {1, 2});
                auto* values = static_cast<double*>(mxGetData(pair.get()));
                for (int k = 0; k < 2; ++k) {
                    values[k] = kLens[f][k] * data.ConsumeFloatingPointInRange<double>(0.5, 1.5);
                }
                fields.emplace_back(kFields[f], std::move(pair));
            }
        }
    }
    return standin::makeStruct(std::move(fields));
}

// Mostly g-by-g-by-K boxes of single or double, sometimes another class or shape; their
// dimensions as made into `dims`.
inline standin::ArrayPtr boxesInput(FuzzedDataProvider& data, std::vector<size_t>* dims) {
    const auto g = data.ConsumeIntegralInRange<size_t>(3, 9);
    const auto boxes = data.ConsumeIntegralInRange<size_t>(0, 6);
    const auto shape = data.ConsumeBool() ? std::vector<size_t>{g, g, boxes} : anyShape(data);
    const mxClassID classId = data.ConsumeIntegralInRange<int>(0, 5) == 0
                                  ? anyClass(data)
                                  : (data.ConsumeBool() ? mxSINGLE_CLASS : mxDOUBLE_CLASS);
    standin::ArrayPtr input = slotArray(data, classId, shape);
    const mwSize* made = mxGetDimensions(input.get());
    dims->assign(made, made + mxGetNumberOfDimensions(input.get()));
    return input;
}

// Mostly the number of inputs an entry expects, sometimes any from none to two more.
inline int inputCount(FuzzedDataProvider& data, int expected) {
    return data.ConsumeIntegralInRange<int>(0, 9) == 0
               ? data.ConsumeIntegralInRange<int>(0, expected + 2)
               : expected;
}

inline std::vector<const mxArray*> raw(const std::vector<standin::ArrayPtr>& inputs) {
    std::vector<const mxArray*> pointers;
    for (const auto& input : inputs) {
        pointers.push_back(input.get());
    }
    return pointers;
}

// What every call must leave behind: nothing stored past the caller's slots, no output
// when a check failed, and on success no scratch, stray array or unwritten output.
inline void checkHostPromises(const standin::CallResult& result) {
    FUZZ_CHECK(result.slotGuardsIntact);
    FUZZ_CHECK(result.badFrees == 0);
    if (result.failed) {
        FUZZ_CHECK(!result.identifier.empty() || !result.message.empty());
        return;
    }
    FUZZ_CHECK(result.scratchLeft == 0);
    FUZZ_CHECK(result.strayArrays == 0);
    FUZZ_CHECK(result.undersizedOutputs == 0);
    FUZZ_CHECK(result.unwrittenOutputs == 0);
}

}  // namespace fuzzing
