// The one adapter between the modules and the host's array interface: how scalars, dimensions,
// outputs and errors are handled, identically in MATLAB, Octave and the stand-in host.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <new>
#include <stdexcept>

#include "mex.h"

#if defined(_WIN32)
#define MEX_EXPORT __declspec(dllexport)
#else
#define MEX_EXPORT __attribute__((visibility("default")))
#endif

namespace gateway {

// Scalar inputs: the double value truncated toward zero to a 32-bit signed integer. NaN gives
// 0 and values beyond the range saturate, so no double ever reaches an undefined conversion.
int32_t truncateToInt32(double value);

// The first element of `array` as a double, by the rule above.
int32_t readScalarInt32(const mxArray* array);

// Whether `array` can stand for a scalar: real, full, numeric, logical or char, with at least
// one element. Anything else would reach the host's own conversion, which fails without an
// identifier, drops an imaginary part, or (MATLAB, for a sparse array) reads the first
// nonzero element instead of the first.
bool isScalarLike(const mxArray* array);

// A length given as a scalar, by the scalar rule; ends the call with
// "<module>:DimensionTooLarge" when it is infinite or 2^31 or more, before anything is made.
int32_t readLengthScalar(const mxArray* array);

// Dimensions of a host array as 32-bit lengths, the form the modules index with.
struct Shape {
    static constexpr int kLeading = 3;
    int count;               // number of dimensions, 2 or more
    int32_t dims[kLeading];  // the leading dimensions; 1 past `count`
    int64_t elements;        // product of all dimensions
};

// Ends the call with "<module>:DimensionTooLarge" when a dimension does not fit in 32 bits.
Shape readShape(const mxArray* array);

// Ends the call with "<module>:DimensionTooLarge".
[[noreturn]] void raiseDimensionTooLarge();

// Ends the call through the host. With a null identifier the message goes out bare through
// mexErrMsgTxt; otherwise through mexErrMsgIdAndTxt. `format` is printf-style.
[[noreturn]] void raiseError(const char* identifier, const char* format, ...)
#if defined(__GNUC__)
    // __printf__: MATLAB's mex.h defines printf as a macro.
    __attribute__((format(__printf__, 2, 3)))
#endif
    ;

// How a new output starts out: all zero, or unfilled because the module writes every element
// of it before returning.
enum class Fill { kZero, kUnfilled };

// A new real output array, made the cheapest way the host offers, and the module's alone.
// Octave copies an array made with mxCreate* into a fresh one when the call returns, but hands
// back one made as its built-in zeros makes them as it is: outputs there are made that way
// (octave_arrays.h), without calling any function a user could shadow. MATLAB hands out
// unfilled storage (mxCreateUninitNumericArray) for outputs the module fills completely. When
// the memory cannot be had, Octave's arrays throw std::bad_alloc (the entry's
// "<module>:OutOfMemory"); MATLAB ends the call with its own out-of-memory error.
mxArray* createOutput(int count, const int32_t* dims, mxClassID classId, Fill fill);
mxArray* createOutputMatrix(int32_t rows, int32_t cols, mxClassID classId, Fill fill);

// The host provides max(nlhs, 1) output slots; `slot` counts from 0.
inline bool hasSlot(int nlhs, int slot) {
    return slot == 0 || slot < nlhs;
}

// Destroys an output that will not be handed out. (In Octave the host releases it when the
// call returns.)
void destroyOutput(mxArray* array);

// Stores `array` in output slot `slot` when the caller has that slot; otherwise destroys it.
void storeOutput(int nlhs, mxArray* plhs[], int slot, mxArray* array);

// Stores the arrays in the output slots from the first, in order, as storeOutput does.
void storeOutputs(int nlhs, mxArray* plhs[], std::initializer_list<mxArray*> arrays);

// The characters of a char array as a NUL-terminated UTF-8 string from mxCalloc, for the caller
// to mxFree. MATLAB holds UTF-16 code units, read with mxArrayToUTF8String whatever the
// release; Octave holds the UTF-8 bytes themselves. Null when the text cannot be encoded or
// holds a NUL character, which would end the string early: *holdsNul tells which.
char* readUtf8Text(const mxArray* text, bool* holdsNul);

// Real numeric: a numeric class, neither complex nor sparse.
bool isRealNumeric(const mxArray* array);

// A real numeric array of exactly one element.
bool isRealNumericScalar(const mxArray* array);

// Memory a module works in and releases itself: not the host's, whose allocator ends the call
// with an error of its own when it has none, but the module's, which fails as
// "<module>:OutOfMemory" through runGuarded.
using Scratch = std::unique_ptr<double[]>;

// The first `count` elements of a real numeric array, as doubles. Double arrays are read in
// place; any other class is converted into `*scratch` (left empty for doubles). Throws
// std::bad_alloc when that memory cannot be had.
const double* readAsDoubles(const mxArray* array, int64_t count, Scratch* scratch);

// Ends the call with "<module>:<reason>" and `message`, for an exception that escaped.
[[noreturn]] void raiseEscaped(const char* reason, const char* message);

// Turns a C++ exception that escapes `body` into a host error: escaping `mexFunction` it would
// end the whole host session. Only the kinds our own code can raise are caught; the host's
// own error unwinding (in Octave a std::runtime_error) passes through untouched.
template <class Body>
void runGuarded(Body&& body) {
    const char* reason = nullptr;
    char message[256] = "";
    try {
        body();
    } catch (const std::bad_alloc&) {
        reason = "OutOfMemory";
        std::snprintf(message, sizeof message, "Out of memory.");
    } catch (const std::logic_error& error) {
        reason = "InternalError";
        std::snprintf(message, sizeof message, "Internal error: %s", error.what());
    }
    // Raised outside the handler: the host may unwind by other means than C++ exceptions.
    if (reason != nullptr) {
        raiseEscaped(reason, message);
    }
}

}  // namespace gateway
