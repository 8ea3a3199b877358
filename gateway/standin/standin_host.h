// Test side of the stand-in host: build input arrays, call a module's entry the way the host
// does, and inspect what the call left behind (outputs, console text, errors, memory).
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "mex.h"

namespace standin {

// What mexErrMsgTxt and mexErrMsgIdAndTxt raise. Like Octave's own error exception it is a
// std::runtime_error, so a module's exception guard that swallowed it would show in tests.
class HostError : public std::runtime_error {
public:
    HostError(std::string identifier, std::string message);
    const std::string& identifier() const { return identifier_; }
    const std::string& message() const { return message_; }

private:
    std::string identifier_;
    std::string message_;
};

struct ArrayDeleter {
    void operator()(mxArray* array) const { mxDestroyArray(array); }
};
using ArrayPtr = std::unique_ptr<mxArray, ArrayDeleter>;

// Zero-filled array of any class; trailing singleton dimensions past the second are dropped.
ArrayPtr makeArray(mxClassID classId, std::vector<size_t> dims, mxComplexity complexity = mxREAL);
ArrayPtr makeSparse(size_t rows, size_t cols);
// Characters as Octave holds them: each one a byte of the (UTF-8) text.
ArrayPtr makeText(const std::string& text);
// Characters as MATLAB holds them: UTF-16 code units.
ArrayPtr makeUtf16Text(const std::u16string& text);
ArrayPtr makeScalar(double value);
// A 1-by-1 struct holding these fields, which it takes over.
ArrayPtr makeStruct(std::vector<std::pair<std::string, ArrayPtr>> fields);

template <class T>
T* elementsOf(const mxArray* array) {
    return static_cast<T*>(mxGetData(array));
}

template <class T>
ArrayPtr makeFilled(mxClassID classId, std::vector<size_t> dims, const std::vector<T>& values) {
    ArrayPtr array = makeArray(classId, std::move(dims));
    if (values.size() != mxGetNumberOfElements(array.get())) {
        throw std::invalid_argument("makeFilled: value count does not match the dimensions");
    }
    std::copy(values.begin(), values.end(), elementsOf<T>(array.get()));
    return array;
}

std::vector<size_t> dimsOf(const mxArray* array);

using MexEntry = void (*)(int, mxArray*[], int, const mxArray*[]);

struct CallResult {
    bool failed = false;
    std::string identifier;         // of the host error, when failed
    std::string message;            // exact text, no prefix
    std::string printed;            // everything mexPrintf wrote
    std::vector<ArrayPtr> outputs;  // one per slot the caller has; null where nothing was stored
    bool slotGuardsIntact = true;   // nothing was stored past the caller's slots
    size_t scratchLeft = 0;         // mxCalloc blocks neither freed nor handed to an output
    size_t strayArrays = 0;         // arrays created but neither stored nor destroyed
    size_t arraysAtError = 0;       // arrays created by the call and alive when it failed
    size_t badFrees = 0;            // mxFree of memory not from mxCalloc or still in use
    size_t undersizedOutputs = 0;   // outputs whose storage is smaller than their shape
    size_t unwrittenOutputs = 0;    // outputs handed out unfilled with an element never written
    size_t hostCalls = 0;           // calls of mexCallMATLAB
    size_t userCalls = 0;           // of them, calls that reached a function of the user's
};

// Which real host the stand-in plays: MATLAB (the default) hands out unfilled outputs, Octave
// has the module ask it for large ones. Lasts until changed.
void playOctave(bool octave);

// What a function of the user's answers when it stands first on the path in place of one of
// the host's: something else than asked (a 1-by-1 double), a variable of the user's (the
// elements of userVariable(), of the class and shape asked), or an error.
enum class UserAnswer { kWrongShape, kUserVariable, kError };

// Puts a function of the user's named `name` ("zeros" or "builtin") on the path. Lasts until
// unshadowAll().
void shadowFunction(const std::string& name, UserAnswer answer);
void unshadowAll();

// The variable of the user's whose elements a kUserVariable answer shares; null before any.
const mxArray* userVariable();

// Calls `entry` as the host would, with max(nlhs, 1) output slots followed by guard slots.
CallResult call(MexEntry entry, const char* functionName, int nlhs,
                const std::vector<const mxArray*>& inputs);

// mxCalloc blocks currently live; lets host-free code be checked outside a call too.
size_t liveBlocks();

}  // namespace standin
