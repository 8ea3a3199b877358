// Stand-in host: implements the host operations the modules use, with bookkeeping that the real
// hosts do not expose (which memory blocks are live and who owns them, which arrays a call
// created, what it printed), so tests can check a call's behaviour exactly.
#include "standin_host.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <set>
#include <utility>

struct mxArray_tag {
    mxClassID classId = mxDOUBLE_CLASS;
    bool complex = false;
    bool sparse = false;
    std::vector<mwSize> dims;
    std::vector<int> dims700;  // the same, truncated, for the 32-bit interface
    void* data = nullptr;
    bool poisoned = false;              // handed out unfilled
    mxArray_tag* sharesWith = nullptr;  // whose elements `data` are, when not its own
    std::vector<std::pair<std::string, mxArray_tag*>> fields;  // of a 1-by-1 struct, owned
};

namespace standin {
namespace {

struct Block {
    size_t bytes;
    const mxArray* owner;  // null while the block is scratch
};

struct HostState {
    std::map<void*, Block> blocks;
    std::map<const mxArray*, bool> arrays;  // live arrays -> created during the current call
    bool inCall = false;
    std::string functionName;
    std::string printed;
    size_t badFrees = 0;
    size_t hostCalls = 0;
    size_t userCalls = 0;
    bool playsOctave = false;
    bool trapsCallErrors = false;
    std::map<std::string, UserAnswer> shadowed;  // functions of the user's on the path
    mxArray* userVariable = nullptr;
    unsigned char poison = 0xA5;  // what unfilled outputs start as
};

HostState& host() {
    static HostState state;
    return state;
}

[[noreturn]] void outOfMemory() {
    throw HostError("MATLAB:nomem", "Out of memory.\n");
}

void* allocateBlock(size_t count, size_t size, const mxArray* owner) {
    if (size != 0 && count > std::numeric_limits<size_t>::max() / size) {
        outOfMemory();
    }
    const size_t bytes = count * size;
    // Every block is at least one byte, so even an empty array holds storage of its own.
    void* block = std::calloc(bytes == 0 ? 1 : bytes, 1);
    if (block == nullptr) {
        outOfMemory();
    }
    host().blocks[block] = Block{bytes, owner};
    return block;
}

void releaseBlock(void* block) {
    host().blocks.erase(block);
    std::free(block);
}

size_t elementSize(mxClassID classId) {
    switch (classId) {
        case mxLOGICAL_CLASS:
        case mxINT8_CLASS:
        case mxUINT8_CLASS:
            return 1;
        case mxCHAR_CLASS:
        case mxINT16_CLASS:
        case mxUINT16_CLASS:
            return 2;
        case mxSINGLE_CLASS:
        case mxINT32_CLASS:
        case mxUINT32_CLASS:
            return 4;
        default:
            return 8;
    }
}

size_t elementCount(const std::vector<mwSize>& dims) {
    size_t count = 1;
    for (mwSize d : dims) {
        if (d == 0) {
            return 0;
        }
    }
    for (mwSize d : dims) {
        if (count > std::numeric_limits<size_t>::max() / d) {
            outOfMemory();
        }
        count *= d;
    }
    return count;
}

void normaliseDims(mxArray* array) {
    auto& dims = array->dims;
    while (dims.size() < 2) {
        dims.push_back(dims.empty() ? 0 : 1);
    }
    while (dims.size() > 2 && dims.back() == 1) {
        dims.pop_back();
    }
    array->dims700.assign(dims.begin(), dims.end());
}

mxArray* createArray(mxClassID classId, std::vector<mwSize> dims, mxComplexity complexity) {
    auto* array = new mxArray;
    array->classId = classId;
    array->complex = complexity == mxCOMPLEX;
    array->dims = std::move(dims);
    normaliseDims(array);
    const size_t planes = array->complex ? 2 : 1;
    try {
        array->data =
            allocateBlock(elementCount(array->dims) * planes, elementSize(classId), array);
    } catch (...) {
        delete array;
        throw;
    }
    host().arrays[array] = host().inCall;
    return array;
}

std::string formatText(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length <= 0) {
        return std::string();
    }
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, args);
    text.resize(static_cast<size_t>(length));
    return text;
}

template <class T>
double firstAs(const void* data) {
    T value;
    std::memcpy(&value, data, sizeof value);
    return static_cast<double>(value);
}

// Whether two outputs of the same call made with different poison differ: an element of an
// output handed out unfilled that was never written still holds the poison of its own run.
bool differ(const mxArray* first, const mxArray* second) {
    if (first == nullptr || second == nullptr || first->dims != second->dims ||
        first->classId != second->classId) {
        return first != second;
    }
    const size_t bytes =
        elementCount(first->dims) * elementSize(first->classId) * (first->complex ? 2 : 1);
    return std::memcmp(first->data, second->data, bytes) != 0;
}

// Releases what a finished call left: scratch blocks the module did not free, and arrays it
// created but did not hand over (all of them after an error). Returns the two counts.
std::pair<size_t, size_t> reclaimCallLeftovers(const std::set<const mxArray*>& handedOver) {
    HostState& state = host();
    std::vector<void*> scratch;
    for (const auto& entry : state.blocks) {
        if (entry.second.owner == nullptr) {
            scratch.push_back(entry.first);
        }
    }
    for (void* block : scratch) {
        releaseBlock(block);
    }
    std::vector<mxArray*> stray;
    for (const auto& entry : state.arrays) {
        if (entry.second && handedOver.count(entry.first) == 0) {
            stray.push_back(const_cast<mxArray*>(entry.first));
        }
    }
    for (mxArray* array : stray) {
        mxDestroyArray(array);
    }
    for (auto& entry : state.arrays) {
        entry.second = false;
    }
    return {scratch.size(), stray.size()};
}

}  // namespace

HostError::HostError(std::string identifier, std::string message)
    : std::runtime_error(message),
      identifier_(std::move(identifier)),
      message_(std::move(message)) {}

ArrayPtr makeArray(mxClassID classId, std::vector<size_t> dims, mxComplexity complexity) {
    return ArrayPtr(createArray(classId, std::move(dims), complexity));
}

ArrayPtr makeSparse(size_t rows, size_t cols) {
    ArrayPtr array = makeArray(mxDOUBLE_CLASS, {rows, cols});
    array->sparse = true;
    return array;
}

ArrayPtr makeText(const std::string& text) {
    ArrayPtr array = makeArray(mxCHAR_CLASS, {1, text.size()});
    mxChar* chars = elementsOf<mxChar>(array.get());
    for (size_t k = 0; k < text.size(); ++k) {
        chars[k] = static_cast<unsigned char>(text[k]);
    }
    return array;
}

ArrayPtr makeUtf16Text(const std::u16string& text) {
    ArrayPtr array = makeArray(mxCHAR_CLASS, {1, text.size()});
    std::copy(text.begin(), text.end(), elementsOf<mxChar>(array.get()));
    return array;
}

ArrayPtr makeStruct(std::vector<std::pair<std::string, ArrayPtr>> fields) {
    ArrayPtr array = makeArray(mxSTRUCT_CLASS, {1, 1});
    for (auto& field : fields) {
        array->fields.emplace_back(field.first, field.second.release());
    }
    return array;
}

ArrayPtr makeScalar(double value) {
    return makeFilled<double>(mxDOUBLE_CLASS, {1, 1}, {value});
}

std::vector<size_t> dimsOf(const mxArray* array) {
    return std::vector<size_t>(array->dims.begin(), array->dims.end());
}

void playOctave(bool octave) {
    host().playsOctave = octave;
}

void shadowFunction(const std::string& name, UserAnswer answer) {
    host().shadowed[name] = answer;
}

void unshadowAll() {
    host().shadowed.clear();
}

const mxArray* userVariable() {
    return host().userVariable;
}

size_t liveBlocks() {
    return host().blocks.size();
}

namespace {

CallResult callOnce(MexEntry entry, const char* functionName, int nlhs,
                    const std::vector<const mxArray*>& inputs, unsigned char poison,
                    std::vector<bool>* unfilled) {
    constexpr int kGuardSlots = 4;
    static mxArray guardTarget;
    HostState& state = host();
    CallResult result;
    const int slots = nlhs > 1 ? nlhs : 1;
    std::vector<mxArray*> plhs(static_cast<size_t>(slots + kGuardSlots), nullptr);
    for (int k = slots; k < slots + kGuardSlots; ++k) {
        plhs[static_cast<size_t>(k)] = &guardTarget;
    }
    std::vector<const mxArray*> prhs(inputs);
    const size_t badFreesBefore = state.badFrees;
    const size_t hostCallsBefore = state.hostCalls;
    const size_t userCallsBefore = state.userCalls;
    state.inCall = true;
    state.poison = poison;
    state.functionName = functionName;
    state.printed.clear();
    try {
        entry(nlhs, plhs.data(), static_cast<int>(prhs.size()), prhs.data());
    } catch (const HostError& error) {
        result.failed = true;
        result.identifier = error.identifier();
        result.message = error.message();
        for (const auto& live : state.arrays) {
            result.arraysAtError += live.second ? 1 : 0;
        }
    } catch (...) {
        state.inCall = false;  // anything else escaping the entry would abort a real host
        reclaimCallLeftovers({});
        throw;
    }
    state.inCall = false;
    result.printed = state.printed;
    result.badFrees = state.badFrees - badFreesBefore;
    result.hostCalls = state.hostCalls - hostCallsBefore;
    result.userCalls = state.userCalls - userCallsBefore;
    for (int k = slots; k < slots + kGuardSlots; ++k) {
        result.slotGuardsIntact =
            result.slotGuardsIntact && plhs[static_cast<size_t>(k)] == &guardTarget;
    }
    std::set<const mxArray*> handedOver;
    if (!result.failed) {
        for (int k = 0; k < slots; ++k) {
            mxArray* output = plhs[static_cast<size_t>(k)];
            if (output != nullptr && state.arrays.count(output) != 0 &&
                handedOver.insert(output).second) {
                const size_t needed = elementCount(output->dims) * elementSize(output->classId);
                result.undersizedOutputs += state.blocks.at(output->data).bytes < needed ? 1 : 0;
                unfilled->push_back(output->poisoned);
                result.outputs.emplace_back(output);
            } else {
                unfilled->push_back(false);
                result.outputs.emplace_back(nullptr);
            }
        }
    }
    const auto leftovers = reclaimCallLeftovers(handedOver);
    result.scratchLeft = leftovers.first;
    result.strayArrays = result.failed ? 0 : leftovers.second;
    return result;
}

}  // namespace

CallResult call(MexEntry entry, const char* functionName, int nlhs,
                const std::vector<const mxArray*>& inputs) {
    std::vector<bool> unfilled;
    CallResult result = callOnce(entry, functionName, nlhs, inputs, 0xA5, &unfilled);
    if (result.failed || std::find(unfilled.begin(), unfilled.end(), true) == unfilled.end()) {
        return result;
    }
    // Unfilled outputs are checked as a sanitizer would, but exactly: the same call again with
    // other poison must give the same bytes, whatever values the module wrote.
    std::vector<bool> unused;
    const CallResult again = callOnce(entry, functionName, nlhs, inputs, 0x5A, &unused);
    for (size_t k = 0; k < unfilled.size(); ++k) {
        const mxArray* repeated = k < again.outputs.size() ? again.outputs[k].get() : nullptr;
        result.unwrittenOutputs += unfilled[k] && differ(result.outputs[k].get(), repeated) ? 1 : 0;
    }
    return result;
}

}  // namespace standin

using standin::host;
using standin::HostState;

extern "C" {

const char* mexFunctionName(void) {
    return host().functionName.c_str();
}

void mexErrMsgTxt(const char* message) {
    throw standin::HostError("", message == nullptr ? "" : message);
}

void mexErrMsgIdAndTxt(const char* identifier, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = standin::formatText(format, args);
    va_end(args);
    throw standin::HostError(identifier == nullptr ? "" : identifier, std::move(message));
}

int mexPrintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = standin::formatText(format, args);
    va_end(args);
    host().printed += text;
    return static_cast<int>(text.size());
}

void* mxCalloc(size_t count, size_t size) {
    return standin::allocateBlock(count, size, nullptr);
}

void mxFree(void* block) {
    if (block == nullptr) {
        return;
    }
    auto found = host().blocks.find(block);
    if (found == host().blocks.end() || found->second.owner != nullptr) {
        ++host().badFrees;  // not ours to free: count it rather than corrupt the heap
        return;
    }
    standin::releaseBlock(block);
}

mxArray* mxCreateNumericArray(mwSize ndims, const mwSize* dims, mxClassID classId,
                              mxComplexity complexity) {
    return standin::createArray(classId, std::vector<mwSize>(dims, dims + ndims), complexity);
}

mxArray* mxCreateNumericMatrix(mwSize m, mwSize n, mxClassID classId, mxComplexity complexity) {
    return standin::createArray(classId, {m, n}, complexity);
}

mxArray* mxCreateUninitNumericArray(size_t ndims, const size_t* dims, mxClassID classId,
                                    mxComplexity complexity) {
    mxArray* array =
        standin::createArray(classId, std::vector<mwSize>(dims, dims + ndims), complexity);
    array->poisoned = true;
    std::memset(array->data, standin::host().poison, standin::host().blocks.at(array->data).bytes);
    return array;
}

mxArray* mxCreateString(const char* text) {
    const size_t length = std::strlen(text);
    mxArray* array = standin::createArray(mxCHAR_CLASS, {1, length}, mxREAL);
    auto* chars = static_cast<mxChar*>(array->data);
    for (size_t k = 0; k < length; ++k) {
        chars[k] = static_cast<unsigned char>(text[k]);
    }
    return array;
}

void mexSetTrapFlag(int flag) {
    host().trapsCallErrors = flag != 0;
}

int standinArrayIsUnshared(const mxArray* array) {
    const HostState& state = host();
    const bool lends = state.userVariable != nullptr && array == state.userVariable;
    return array->sharesWith == nullptr && !lends ? 1 : 0;
}

namespace standin {
namespace {

// zeros(dims, className) as the host's built-in makes it: a new array of its own.
mxArray* hostZeros(const mxArray* lengthsArray, const mxArray* classArray) {
    static const std::map<std::string, mxClassID> classes = {
        {"double", mxDOUBLE_CLASS}, {"single", mxSINGLE_CLASS}, {"uint16", mxUINT16_CLASS}};
    char* className = mxArrayToString(classArray);
    const auto found = classes.find(className);
    mxFree(className);
    if (lengthsArray->classId != mxDOUBLE_CLASS || found == classes.end()) {
        throw HostError("standin:UnknownClass", "zeros of an unknown class.");
    }
    const auto* lengths = static_cast<const double*>(lengthsArray->data);
    std::vector<mwSize> dims;
    for (size_t k = 0; k < elementCount(lengthsArray->dims); ++k) {
        dims.push_back(lengths[k] > 0 ? static_cast<mwSize>(lengths[k]) : 0);
    }
    return createArray(found->second, dims, mxREAL);
}

// What a function of the user's answers to a call that asked for `asked`.
mxArray* userAnswer(UserAnswer answer, mxArray* asked) {
    HostState& state = host();
    if (answer == UserAnswer::kWrongShape) {
        mxDestroyArray(asked);
        return createArray(mxDOUBLE_CLASS, {1, 1}, mxREAL);
    }
    // A variable of the user's, kept from one call to the next (as a global or a cache would
    // be), and an array that shares its elements. One of another shape replaces it, but the
    // old one lives on: outputs may still share it.
    if (state.userVariable == nullptr || state.userVariable->dims != asked->dims ||
        state.userVariable->classId != asked->classId) {
        state.userVariable = createArray(asked->classId, asked->dims, mxREAL);
        state.arrays[state.userVariable] = false;  // the user's, not the call's
    }
    releaseBlock(asked->data);
    asked->data = state.userVariable->data;
    asked->sharesWith = state.userVariable;
    return asked;
}

}  // namespace
}  // namespace standin

int mexCallMATLAB(int nlhs, mxArray* plhs[], int nrhs, mxArray* prhs[], const char* name) {
    using standin::HostError;
    using standin::UserAnswer;
    HostState& state = host();
    ++state.hostCalls;
    // builtin('zeros', ...) is zeros(...) with the function named first.
    const bool viaBuiltin = std::strcmp(name, "builtin") == 0;
    const int first = viaBuiltin ? 1 : 0;
    char* called = viaBuiltin && nrhs > 0 ? mxArrayToString(prhs[0]) : nullptr;
    const bool zerosCall = nlhs == 1 && nrhs == first + 2 &&
                           std::strcmp(viaBuiltin ? (called ? called : "") : name, "zeros") == 0;
    mxFree(called);
    if (!zerosCall) {
        throw HostError("standin:UnknownFunction", "The stand-in host knows only zeros.");
    }
    const auto shadow = state.shadowed.find(name);
    state.userCalls += shadow != state.shadowed.end() ? 1 : 0;
    if (shadow != state.shadowed.end() && shadow->second == UserAnswer::kError) {
        if (state.trapsCallErrors) {
            plhs[0] = nullptr;
            return 1;
        }
        throw HostError("user:failed", "An error in the user's function.");
    }
    plhs[0] = standin::hostZeros(prhs[first], prhs[first + 1]);
    if (shadow != state.shadowed.end()) {
        plhs[0] = standin::userAnswer(shadow->second, plhs[0]);
    }
    return 0;
}

mxArray* mxCreateNumericArray_700(int ndims, const int* dims, mxClassID classId,
                                  mxComplexity complexity) {
    std::vector<mwSize> wide;
    for (int k = 0; k < ndims; ++k) {
        wide.push_back(dims[k] < 0 ? 0 : static_cast<mwSize>(dims[k]));
    }
    return standin::createArray(classId, wide, complexity);
}

mxArray* mxCreateNumericMatrix_700(int m, int n, mxClassID classId, mxComplexity complexity) {
    const int dims[2] = {m, n};
    return mxCreateNumericArray_700(2, dims, classId, complexity);
}

void mxDestroyArray(mxArray* array) {
    if (array == nullptr) {
        return;
    }
    if (array->sharesWith == nullptr) {
        standin::releaseBlock(array->data);
    }
    for (auto& field : array->fields) {
        mxDestroyArray(field.second);
    }
    host().arrays.erase(array);
    delete array;
}

mxClassID mxGetClassID(const mxArray* array) {
    return array->classId;
}

bool mxIsNumeric(const mxArray* array) {
    return array->classId >= mxDOUBLE_CLASS && array->classId <= mxUINT64_CLASS;
}

bool mxIsComplex(const mxArray* array) {
    return array->complex;
}

bool mxIsSparse(const mxArray* array) {
    return array->sparse;
}

bool mxIsStruct(const mxArray* array) {
    return array->classId == mxSTRUCT_CLASS;
}

mxArray* mxGetField(const mxArray* array, mwIndex index, const char* name) {
    if (array->classId != mxSTRUCT_CLASS || index != 0) {
        return nullptr;
    }
    for (const auto& field : array->fields) {
        if (field.first == name) {
            return field.second;
        }
    }
    return nullptr;
}

bool mxIsChar(const mxArray* array) {
    return array->classId == mxCHAR_CLASS;
}

bool mxIsLogical(const mxArray* array) {
    return array->classId == mxLOGICAL_CLASS;
}

mwSize mxGetNumberOfDimensions(const mxArray* array) {
    return array->dims.size();
}

const mwSize* mxGetDimensions(const mxArray* array) {
    return array->dims.data();
}

namespace standin {
namespace {

// The 32-bit array interface limits arrays to 2^31 - 1 elements.
const mxArray* within32BitInterface(const mxArray* array) {
    if (elementCount(array->dims) > static_cast<size_t>(std::numeric_limits<int>::max())) {
        throw HostError("standin:CompatibleArrayDims",
                        "The 32-bit array interface takes no array of 2^31 elements or more.");
    }
    return array;
}

}  // namespace
}  // namespace standin

int mxGetNumberOfDimensions_700(const mxArray* array) {
    return static_cast<int>(standin::within32BitInterface(array)->dims.size());
}

const int* mxGetDimensions_700(const mxArray* array) {
    return standin::within32BitInterface(array)->dims700.data();
}

size_t mxGetNumberOfElements(const mxArray* array) {
    return standin::elementCount(array->dims);
}

size_t mxGetM(const mxArray* array) {
    return array->dims[0];
}

size_t mxGetN(const mxArray* array) {
    size_t n = 1;
    for (size_t k = 1; k < array->dims.size(); ++k) {
        n *= array->dims[k];
    }
    return n;
}

void mxSetM(mxArray* array, mwSize m) {
    array->dims[0] = m;
    standin::normaliseDims(array);
}

void mxSetN(mxArray* array, mwSize n) {
    array->dims.resize(2);
    array->dims[1] = n;
    standin::normaliseDims(array);
}

void mxSetM_700(mxArray* array, int m) {
    mxSetM(array, m < 0 ? 0 : static_cast<mwSize>(m));
}

void mxSetN_700(mxArray* array, int n) {
    mxSetN(array, n < 0 ? 0 : static_cast<mwSize>(n));
}

double mxGetScalar(const mxArray* array) {
    if (standin::elementCount(array->dims) == 0) {
        return 0.0;
    }
    const void* data = array->data;
    switch (array->classId) {
        case mxDOUBLE_CLASS:
            return standin::firstAs<double>(data);
        case mxSINGLE_CLASS:
            return standin::firstAs<float>(data);
        case mxLOGICAL_CLASS:
        case mxUINT8_CLASS:
            return standin::firstAs<std::uint8_t>(data);
        case mxINT8_CLASS:
            return standin::firstAs<std::int8_t>(data);
        case mxCHAR_CLASS:
        case mxUINT16_CLASS:
            return standin::firstAs<std::uint16_t>(data);
        case mxINT16_CLASS:
            return standin::firstAs<std::int16_t>(data);
        case mxINT32_CLASS:
            return standin::firstAs<std::int32_t>(data);
        case mxUINT32_CLASS:
            return standin::firstAs<std::uint32_t>(data);
        case mxINT64_CLASS:
            return standin::firstAs<std::int64_t>(data);
        case mxUINT64_CLASS:
            return standin::firstAs<std::uint64_t>(data);
        default:
            return 0.0;
    }
}

void* mxGetData(const mxArray* array) {
    return array->data;
}

void mxSetData(mxArray* array, void* data) {
    auto& blocks = host().blocks;
    auto found = blocks.find(data);
    if (found == blocks.end() || found->second.owner != nullptr) {
        ++host().badFrees;  // storage must come from mxCalloc and belong to nobody yet
        return;
    }
    // Like Octave, the storage the array held is not released: it becomes scratch again and
    // counts as left over unless the module frees it.
    blocks.at(array->data).owner = nullptr;
    found->second.owner = array;
    array->data = data;
}

char* mxArrayToUTF8String(const mxArray* array) {
    if (array->classId != mxCHAR_CLASS) {
        return nullptr;
    }
    const auto* units = static_cast<const mxChar*>(array->data);
    const size_t count = standin::elementCount(array->dims);
    std::string text;
    for (size_t k = 0; k < count; ++k) {
        uint32_t point = units[k];
        if (point >= 0xD800 && point < 0xDC00 && k + 1 < count && units[k + 1] >= 0xDC00 &&
            units[k + 1] < 0xE000) {
            point = 0x10000 + ((point - 0xD800) << 10) + (units[++k] - 0xDC00);
        } else if (point >= 0xD800 && point < 0xE000) {
            return nullptr;
        }
        const int extra = point < 0x80 ? 0 : point < 0x800 ? 1 : point < 0x10000 ? 2 : 3;
        static const unsigned char leads[] = {0x00, 0xC0, 0xE0, 0xF0};
        text += static_cast<char>(leads[extra] | (point >> (6 * extra)));
        for (int shift = 6 * (extra - 1); shift >= 0; shift -= 6) {
            text += static_cast<char>(0x80 | ((point >> shift) & 0x3F));
        }
    }
    char* copy = static_cast<char*>(standin::allocateBlock(text.size() + 1, 1, nullptr));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

char* mxArrayToString(const mxArray* array) {
    if (array->classId != mxCHAR_CLASS) {
        return nullptr;
    }
    const size_t count = standin::elementCount(array->dims);
    char* text = static_cast<char*>(standin::allocateBlock(count + 1, 1, nullptr));
    const auto* chars = static_cast<const mxChar*>(array->data);
    for (size_t k = 0; k < count; ++k) {
        text[k] = static_cast<char>(chars[k] & 0xFF);
    }
    return text;
}

}  // extern "C"
