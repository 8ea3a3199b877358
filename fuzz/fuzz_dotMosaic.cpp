// dotMosaic's entry through the stand-in host, with inputs of any number, class, shape and
// value. A result that comes back must hold what the module promises.
#include <algorithm>

#include "fuzz_inputs.h"
#include "gateway.h"

extern "C" void mexFunction(int, mxArray*[], int, const mxArray*[]);

namespace {

standin::ArrayPtr scalar(FuzzedDataProvider& data) {
    return fuzzing::slotArray(
        data, mxDOUBLE_CLASS,
        data.ConsumeBool() ? std::vector<size_t>{1, 1} : fuzzing::anyShape(data));
}

// Whether the call would ask for an image beyond what a fuzz run may hold; such sizes are
// refused or tested elsewhere.
bool imageTooLarge(const std::vector<standin::ArrayPtr>& inputs) {
    if (inputs.size() < 2) {
        return false;
    }
    double pixels = 1.0;
    for (int k = 0; k < 2; ++k) {
        const mxArray* size = inputs[k].get();
        if (!gateway::isScalarLike(size)) {
            return false;
        }
        const double value = std::trunc(mxGetScalar(size));
        if (!(value < 2147483648.0)) {
            return false;  // refused before anything is allocated
        }
        pixels *= value > 1.0 ? value : 1.0;
    }
    return pixels > (1 << 16);
}

void checkResult(const standin::CallResult& result, const std::vector<standin::ArrayPtr>& inputs,
                 int nlhs) {
    const mxArray* counts = result.outputs[0].get();
    FUZZ_CHECK(counts != nullptr && mxGetClassID(counts) == mxUINT16_CLASS);
    const size_t pixels = mxGetNumberOfElements(counts);
    const auto* values = static_cast<const uint16_t*>(mxGetData(counts));
    const bool equalised = gateway::truncateToInt32(mxGetScalar(inputs[4].get())) != 0;
    const mxArray* levels = nlhs >= 2 ? result.outputs[1].get() : nullptr;
    FUZZ_CHECK(nlhs < 2 || (levels != nullptr && mxGetNumberOfElements(levels) == pixels));
    const auto* levelValues =
        levels != nullptr ? static_cast<const float*>(mxGetData(levels)) : nullptr;
    if (equalised) {
        for (size_t k = 0; k < pixels; ++k) {
            FUZZ_CHECK(values[k] <= 1023);
            if (levelValues != nullptr) {
                FUZZ_CHECK(levelValues[k] >= 0.0f && levelValues[k] <= 1023.0f);
                FUZZ_CHECK(values[k] == static_cast<uint16_t>(levelValues[k]));
            }
        }
        return;
    }
    // Every point is counted once, unless a pixel saturated.
    uint64_t total = 0;
    bool saturated = false;
    for (size_t k = 0; k < pixels; ++k) {
        total += values[k];
        saturated = saturated || values[k] == UINT16_MAX;
        FUZZ_CHECK(levelValues == nullptr || levelValues[k] == 0.0f);
    }
    FUZZ_CHECK(saturated || total == mxGetNumberOfElements(inputs[2].get()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    const int nlhs = data.ConsumeIntegralInRange<int>(0, 3);
    const int count = fuzzing::inputCount(data, 5);
    std::vector<standin::ArrayPtr> inputs;
    for (int k = 0; k < count; ++k) {
        if (k == 2 || k == 3) {
            inputs.push_back(fuzzing::slotArray(data, mxSINGLE_CLASS, fuzzing::anyShape(data)));
        } else {
            inputs.push_back(scalar(data));
        }
    }
    if (imageTooLarge(inputs)) {
        return 0;
    }
    const auto result = standin::call(mexFunction, "dotMosaic", nlhs, fuzzing::raw(inputs));
    fuzzing::checkHostPromises(result);
    if (!result.failed) {
        checkResult(result, inputs, nlhs);
    }
    return 0;
}
