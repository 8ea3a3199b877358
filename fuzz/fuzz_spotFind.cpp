// spotFind's entry through the stand-in host, with inputs of any number, class, shape and
// value, the camera's maps among them. Every candidate lies in the stack, reaches the threshold,
// and they come in order.
#include <cmath>

#include "fuzz_inputs.h"

extern "C" void mexFunction(int, mxArray*[], int, const mxArray*[]);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    const int nlhs = data.ConsumeIntegralInRange<int>(0, 5);
    const int count = fuzzing::inputCount(data, data.ConsumeBool() ? 3 : 5);
    std::vector<standin::ArrayPtr> inputs;
    for (int k = 0; k < count; ++k) {
        if (k >= 3) {
            // The camera's offset and gain: mostly a scalar or a frame's map, the gain mostly
            // above 0.
            const mwSize* dims = mxGetDimensions(inputs[0].get());
            const bool map = data.ConsumeBool();
            inputs.push_back(fuzzing::slotArray(
                data, data.ConsumeBool() ? mxDOUBLE_CLASS : mxSINGLE_CLASS,
                map ? std::vector<size_t>{dims[0], dims[1]} : std::vector<size_t>{1, 1}));
            mxArray* values = inputs.back().get();
            const mxClassID made = mxGetClassID(values);
            if (k == 4 && data.ConsumeIntegralInRange<int>(0, 3) != 0 && !mxIsComplex(values) &&
                !mxIsSparse(values) && (made == mxDOUBLE_CLASS || made == mxSINGLE_CLASS)) {
                for (size_t e = 0; e < mxGetNumberOfElements(values); ++e) {
                    if (made == mxDOUBLE_CLASS) {
                        auto* v = static_cast<double*>(mxGetData(values));
                        v[e] = std::fabs(v[e]) + 0.5;
                    } else {
                        auto* v = static_cast<float*>(mxGetData(values));
                        v[e] = std::fabs(v[e]) + 0.5f;
                    }
                }
            }
        } else if (k == 0) {
            const std::vector<size_t> dims = {data.ConsumeIntegralInRange<size_t>(0, 24),
                                              data.ConsumeIntegralInRange<size_t>(0, 24),
                                              data.ConsumeIntegralInRange<size_t>(0, 3)};
            const mxClassID classes[] = {mxUINT16_CLASS, mxSINGLE_CLASS, mxDOUBLE_CLASS};
            inputs.push_back(
                fuzzing::slotArray(data, classes[data.ConsumeIntegralInRange<int>(0, 2)],
                                   data.ConsumeBool() ? dims : fuzzing::anyShape(data)));
        } else {
            inputs.push_back(fuzzing::slotArray(data, mxDOUBLE_CLASS, {1, 1}));
        }
    }
    const auto result = standin::call(mexFunction, "spotFind", nlhs, fuzzing::raw(inputs));
    fuzzing::checkHostPromises(result);
    if (!result.failed && nlhs >= 4) {
        const mwSize* dims = mxGetDimensions(inputs[0].get());
        const mwSize frames = mxGetNumberOfDimensions(inputs[0].get()) > 2 ? dims[2] : 1;
        const double threshold = mxGetScalar(inputs[2].get());
        const auto rows = static_cast<size_t>(mxGetM(result.outputs[0].get()));
        const double* out[4];
        for (int k = 0; k < 4; ++k) {
            out[k] = static_cast<const double*>(mxGetData(result.outputs[k].get()));
        }
        for (size_t i = 0; i < rows; ++i) {
            FUZZ_CHECK(out[0][i] >= 0 && out[0][i] < static_cast<double>(dims[0]));
            FUZZ_CHECK(out[1][i] >= 0 && out[1][i] < static_cast<double>(dims[1]));
            FUZZ_CHECK(out[2][i] >= 0 && out[2][i] < static_cast<double>(frames));
            FUZZ_CHECK(out[3][i] >= threshold);
            if (i > 0) {
                const double before = out[0][i - 1] + 1e6 * (out[1][i - 1] + 1e6 * out[2][i - 1]);
                FUZZ_CHECK(out[0][i] + 1e6 * (out[1][i] + 1e6 * out[2][i]) > before);
            }
        }
    }
    return 0;
}
