#include "gateway.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <limits>

#if defined(GATEWAY_OCTAVE)
#include "octave_arrays.h"
#endif

namespace gateway {
namespace {

constexpr double kInt32Max = std::numeric_limits<int32_t>::max();
constexpr double kInt32Min = std::numeric_limits<int32_t>::min();

// Identifiers have the form "<module>:<Reason>".
void moduleIdentifier(char* buffer, size_t size, const char* reason) {
    std::snprintf(buffer, size, "%s:%s", mexFunctionName(), reason);
}

template <class T>
void convertToDoubles(const void* data, int64_t count, double* out) {
    const T* values = static_cast<const T*>(data);
    for (int64_t k = 0; k < count; ++k) {
        out[k] = static_cast<double>(values[k]);
    }
}

}  // namespace

int32_t truncateToInt32(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    if (value >= kInt32Max) {
        return std::numeric_limits<int32_t>::max();
    }
    if (value <= kInt32Min) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(value);
}

int32_t readScalarInt32(const mxArray* array) {
    return truncateToInt32(mxGetScalar(array));
}

bool isScalarLike(const mxArray* array) {
    const bool numberLike = mxIsNumeric(array) || mxIsLogical(array) || mxIsChar(array);
    return numberLike && !mxIsComplex(array) && !mxIsSparse(array) &&
           mxGetNumberOfElements(array) != 0;
}

int32_t readLengthScalar(const mxArray* array) {
    const double value = mxGetScalar(array);
    if (value >= -kInt32Min) {  // 2^31, and +inf
        raiseDimensionTooLarge();
    }
    return truncateToInt32(value);
}

void raiseDimensionTooLarge() {
    char identifier[128];
    moduleIdentifier(identifier, sizeof identifier, "DimensionTooLarge");
    raiseError(identifier, "Array dimensions must each be less than 2^31.\n");
}

Shape readShape(const mxArray* array) {
    const mwSize* dims = mxGetDimensions(array);
    const int count = static_cast<int>(mxGetNumberOfDimensions(array));
    Shape shape{count, {1, 1, 1}, 1};
    bool empty = false;
    for (int k = 0; k < count; ++k) {
        // Through uint64_t so the test compiles cleanly whether mwSize is 32 or 64 bits.
        if (static_cast<uint64_t>(dims[k]) > static_cast<uint64_t>(kInt32Max)) {
            raiseDimensionTooLarge();
        }
        const int32_t length = static_cast<int32_t>(dims[k]);
        if (k < Shape::kLeading) {
            shape.dims[k] = length;
        }
        empty = empty || length == 0;
        // The host holds the array, so the product of nonzero lengths fits in 64 bits.
        shape.elements = empty ? 0 : shape.elements * length;
    }
    return shape;
}

void raiseError(const char* identifier, const char* format, ...) {
    char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (identifier == nullptr) {
        mexErrMsgTxt(message);
    } else {
        mexErrMsgIdAndTxt(identifier, "%s", message);
    }
    // The host's error calls do not return.
    std::abort();
}

void raiseEscaped(const char* reason, const char* message) {
    char identifier[128];
    moduleIdentifier(identifier, sizeof identifier, reason);
    raiseError(identifier, "%s\n", message);
}

mxArray* createOutput(int count, const int32_t* dims, mxClassID classId, Fill fill) {
    const int used = count < Shape::kLeading ? count : Shape::kLeading;
#if defined(GATEWAY_OCTAVE)
    // Elements Octave cannot give throw std::bad_alloc: the entry's <module>:OutOfMemory. Only
    // when the small record around them could not be had does Octave make the array itself.
    if (void* made = octaveNewArray(used, dims, classId)) {
        return static_cast<mxArray*>(made);
    }
#endif
    size_t sizes[Shape::kLeading];
    for (int k = 0; k < used; ++k) {
        sizes[k] = static_cast<size_t>(dims[k]);
    }
#if defined(GATEWAY_MATLAB) || defined(STANDIN_HOST)
    if (fill == Fill::kUnfilled) {
        return mxCreateUninitNumericArray(static_cast<size_t>(used), sizes, classId, mxREAL);
    }
#else
    (void)fill;
#endif
    mwSize wide[Shape::kLeading];
    std::copy(sizes, sizes + used, wide);
    return mxCreateNumericArray(static_cast<mwSize>(used), wide, classId, mxREAL);
}

mxArray* createOutputMatrix(int32_t rows, int32_t cols, mxClassID classId, Fill fill) {
    const int32_t dims[2] = {rows, cols};
    return createOutput(2, dims, classId, fill);
}

void destroyOutput(mxArray* array) {
#if defined(GATEWAY_OCTAVE)
    // Octave releases every array of the call when it returns, those of octaveNewArray only
    // then.
    (void)array;
#else
    mxDestroyArray(array);
#endif
}

void storeOutput(int nlhs, mxArray* plhs[], int slot, mxArray* array) {
    if (hasSlot(nlhs, slot)) {
        plhs[slot] = array;
    } else {
        destroyOutput(array);
    }
}

void storeOutputs(int nlhs, mxArray* plhs[], std::initializer_list<mxArray*> arrays) {
    int slot = 0;
    for (mxArray* array : arrays) {
        storeOutput(nlhs, plhs, slot++, array);
    }
}

char* readUtf8Text(const mxArray* text, bool* holdsNul) {
    *holdsNul = false;
#if defined(GATEWAY_MATLAB)
    char* utf8 = mxArrayToUTF8String(text);
#else
    char* utf8 = mxArrayToString(text);
#endif
    if (utf8 == nullptr) {
        return nullptr;
    }
    // The characters the string holds, counted as the host counts them: in MATLAB a UTF-8
    // sequence is one UTF-16 code unit, or two from four bytes on; in Octave each byte is one.
    size_t characters = 0;
    for (const char* next = utf8; *next != '\0'; ++next) {
#if defined(GATEWAY_MATLAB)
        const auto byte = static_cast<unsigned char>(*next);
        characters += (byte & 0xC0) == 0x80 ? 0 : (byte >= 0xF0 ? 2 : 1);
#else
        ++characters;
#endif
    }
    if (characters < mxGetNumberOfElements(text)) {
        mxFree(utf8);
        *holdsNul = true;
        return nullptr;
    }
    return utf8;
}

bool isRealNumeric(const mxArray* array) {
    return mxIsNumeric(array) && !mxIsComplex(array) && !mxIsSparse(array);
}

bool isRealNumericScalar(const mxArray* array) {
    return isRealNumeric(array) && mxGetNumberOfElements(array) == 1;
}

const double* readAsDoubles(const mxArray* array, int64_t count, Scratch* scratch) {
    scratch->reset();
    const void* data = mxGetData(array);
    if (mxGetClassID(array) == mxDOUBLE_CLASS) {
        return static_cast<const double*>(data);
    }
    scratch->reset(new double[static_cast<size_t>(count)]);
    double* values = scratch->get();
    switch (mxGetClassID(array)) {
        case mxSINGLE_CLASS:
            convertToDoubles<float>(data, count, values);
            break;
        case mxINT8_CLASS:
            convertToDoubles<int8_t>(data, count, values);
            break;
        case mxUINT8_CLASS:
            convertToDoubles<uint8_t>(data, count, values);
            break;
        case mxINT16_CLASS:
            convertToDoubles<int16_t>(data, count, values);
            break;
        case mxUINT16_CLASS:
            convertToDoubles<uint16_t>(data, count, values);
            break;
        case mxINT32_CLASS:
            convertToDoubles<int32_t>(data, count, values);
            break;
        case mxUINT32_CLASS:
            convertToDoubles<uint32_t>(data, count, values);
            break;
        case mxINT64_CLASS:
            convertToDoubles<int64_t>(data, count, values);
            break;
        case mxUINT64_CLASS:
            convertToDoubles<uint64_t>(data, count, values);
            break;
        default:
            // Callers check isRealNumeric first; anything else reads as zeros.
            std::fill(values, values + count, 0.0);
            break;
    }
    return values;
}

}  // namespace gateway
