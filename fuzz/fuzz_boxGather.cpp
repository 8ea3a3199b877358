// boxGather's entry through the stand-in host, with inputs of any number, class, shape and
// value. Every box that comes back lies inside its frame and equals the stack at its corner.
#include "fuzz_inputs.h"
#include "gateway.h"

extern "C" void mexFunction(int, mxArray*[], int, const mxArray*[]);

namespace {

void checkBoxes(const standin::CallResult& result, const std::vector<standin::ArrayPtr>& inputs,
                int nlhs) {
    const mxArray* boxes = result.outputs[0].get();
    const auto* box = static_cast<const float*>(mxGetData(boxes));
    const mxArray* stackArray = inputs[4].get();
    const auto* stack = static_cast<const float*>(mxGetData(stackArray));
    const mwSize* stackDims = mxGetDimensions(stackArray);
    const auto rows = static_cast<int64_t>(stackDims[0]);
    const auto cols = static_cast<int64_t>(stackDims[1]);
    const int64_t g = gateway::truncateToInt32(mxGetScalar(inputs[3].get()));
    const auto count = static_cast<int64_t>(mxGetM(inputs[0].get()));
    FUZZ_CHECK(mxGetNumberOfElements(boxes) == static_cast<size_t>(g * g * count));
    gateway::Scratch scratch;
    const double* z = gateway::readAsDoubles(inputs[2].get(), count, &scratch);
    const mxArray* cornersX = nlhs == 3 ? result.outputs[1].get() : nullptr;
    const mxArray* cornersY = nlhs == 3 ? result.outputs[2].get() : nullptr;
    for (int64_t i = 0; i < count; ++i) {
        const auto frame = static_cast<int64_t>(z[i]);
        // The corner is not known without the outputs: find it as the place the box fits.
        int64_t x0 = 0;
        int64_t y0 = 0;
        if (cornersX != nullptr) {
            x0 = static_cast<int64_t>(static_cast<const float*>(mxGetData(cornersX))[i]);
            y0 = static_cast<int64_t>(static_cast<const float*>(mxGetData(cornersY))[i]);
            FUZZ_CHECK(x0 >= 0 && x0 + g <= rows && y0 >= 0 && y0 + g <= cols);
            for (int64_t b = 0; b < g; ++b) {
                for (int64_t a = 0; a < g; ++a) {
                    const float got = box[a + g * (b + g * i)];
                    const float want = stack[(x0 + a) + rows * ((y0 + b) + cols * frame)];
                    FUZZ_CHECK(std::memcmp(&got, &want, sizeof got) == 0);
                }
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    const int nlhs = data.ConsumeIntegralInRange<int>(0, 4);
    const int count = fuzzing::inputCount(data, 5);
    const size_t points = data.ConsumeIntegralInRange<size_t>(0, 40);
    std::vector<standin::ArrayPtr> inputs;
    for (int k = 0; k < count; ++k) {
        if (k < 3) {
            // Mostly N-by-1 doubles, sometimes another class or shape.
            const auto dims =
                data.ConsumeBool() ? std::vector<size_t>{points, 1} : fuzzing::anyShape(data);
            inputs.push_back(fuzzing::slotArray(data,
                                                data.ConsumeIntegralInRange<int>(0, 5) == 0
                                                    ? fuzzing::anyClass(data)
                                                    : mxDOUBLE_CLASS,
                                                dims));
        } else if (k == 3) {
            inputs.push_back(fuzzing::slotArray(data, mxDOUBLE_CLASS, {1, 1}));
        } else {
            inputs.push_back(fuzzing::slotArray(data, mxSINGLE_CLASS, fuzzing::anyShape(data)));
        }
    }
    const auto result = standin::call(mexFunction, "boxGather", nlhs, fuzzing::raw(inputs));
    fuzzing::checkHostPromises(result);
    if (!result.failed) {
        checkBoxes(result, inputs, nlhs);
    }
    return 0;
}
