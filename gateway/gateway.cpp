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

int64_t elementBytes(mxClassID classId) {
    switch (classId) {
        case mxUINT16_CLASS:
            return 2;
        case mxSINGLE_CLASS:
            return 4;
        default:
            return 8;
    }
}

#if defined(STANDIN_HOST) || defined(GATEWAY_OCTAVE)
#define GATEWAY_OUTPUTS_FROM_HOST 1

const char* className(mxClassID classId) {
    switch (classId) {
        case mxUINT16_CLASS:
            return "uint16";
        case mxSINGLE_CLASS:
            return "single";
        default:
            return "double";
    }
}

// Outputs of at least this many bytes are asked of the host.
int64_t hostCallBytes() {
#if defined(STANDIN_HOST)
    // The stand-in plays either host, so that tests cover both ways; as Octave it asks for
    // every output, however small.
    return standinOutputsFromHost() ? 0 : INT64_MAX;
#else
    return 64 * 1024;  // below this the host call costs more than the copy it saves
#endif
}

// Whether `array` is a real array of the class with these leading dimensions and no more.
bool hasShape(const mxArray* array, int count, const int32_t* dims, mxClassID classId) {
    if (array == nullptr || mxGetClassID(array) != classId || mxIsComplex(array) ||
        mxIsSparse(array)) {
        return false;
    }
    const auto given = static_cast<int>(mxGetNumberOfDimensions(array));
    const mwSize* lengths = mxGetDimensions(array);
    for (int k = 0; k < (given > count ? given : count); ++k) {
        const uint64_t want = k < count ? static_cast<uint64_t>(dims[k]) : 1;
        const uint64_t have = k < given ? static_cast<uint64_t>(lengths[k]) : 1;
        if (want != have) {
            return false;
        }
    }
    return true;
}

bool isUnshared(const mxArray* array) {
#if defined(STANDIN_HOST)
    return standinArrayIsUnshared(array) != 0;
#else
    return octaveArrayIsUnshared(array);
#endif
}

// zeros(dims, class) of the host's built-in, through `builtin` so that a zeros.m on the path
// is never called. Null unless the answer is a fresh array of that class and shape: a
// `builtin` of the user's could still answer with a variable of theirs, or fail.
mxArray* askHostForZeros(int count, const int32_t* dims, mxClassID classId) {
    mxArray* args[3];
    args[0] = mxCreateString("zeros");
    args[1] = mxCreateNumericMatrix(1, static_cast<mwSize>(count), mxDOUBLE_CLASS, mxREAL);
    auto* lengths = static_cast<double*>(mxGetData(args[1]));
    for (int k = 0; k < count; ++k) {
        lengths[k] = dims[k];
    }
    args[2] = mxCreateString(className(classId));
    mxArray* result = nullptr;
    // A failure of the call comes back as a status instead of ending the module's call.
    mexSetTrapFlag(1);
    const int failed = mexCallMATLAB(1, &result, 3, args, "builtin");
    mexSetTrapFlag(0);
    for (mxArray* arg : args) {
        mxDestroyArray(arg);
    }
    if (failed != 0 || !hasShape(result, count, dims, classId) || !isUnshared(result)) {
        mxDestroyArray(result);
        return nullptr;
    }
    return result;
}
#endif

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
    mwSize wide[Shape::kLeading];
    const int used = count < Shape::kLeading ? count : Shape::kLeading;
    // In floating point: three lengths below 2^31 can multiply past 64 bits.
    double bytes = static_cast<double>(elementBytes(classId));
    for (int k = 0; k < used; ++k) {
        wide[k] = static_cast<mwSize>(dims[k]);
        bytes *= dims[k];
    }
#if defined(GATEWAY_OUTPUTS_FROM_HOST)
    if (bytes >= static_cast<double>(hostCallBytes())) {
        mxArray* made = askHostForZeros(used, dims, classId);
        if (made != nullptr) {
            return made;
        }
    }
#else
    (void)bytes;
#endif
#if defined(GATEWAY_MATLAB) || defined(STANDIN_HOST)
    if (fill == Fill::kUnfilled) {
        size_t sizes[Shape::kLeading];
        for (int k = 0; k < used; ++k) {
            sizes[k] = static_cast<size_t>(dims[k]);
        }
        return mxCreateUninitNumericArray(static_cast<size_t>(used), sizes, classId, mxREAL);
    }
#else
    (void)fill;
#endif
    return mxCreateNumericArray(static_cast<mwSize>(used), wide, classId, mxREAL);
}

mxArray* createOutputMatrix(int32_t rows, int32_t cols, mxClassID classId, Fill fill) {
    const int32_t dims[2] = {rows, cols};
    return createOutput(2, dims, classId, fill);
}

void storeOutput(int nlhs, mxArray* plhs[], int slot, mxArray* array) {
    if (hasSlot(nlhs, slot)) {
        plhs[slot] = array;
    } else {
        mxDestroyArray(array);
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
