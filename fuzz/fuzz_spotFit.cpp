// spotFit's entry through the stand-in host, with inputs of any number, class, shape and
// value, a read variance, two widths and a depth calibration among them. Every fit that comes
// back is one of the statuses (outside the calibrated depth only with one), NaN exactly where
// the status says so, and its position lies inside the box.
#include <cmath>

#include "fuzz_inputs.h"

extern "C" void mexFunction(int, mxArray*[], int, const mxArray*[]);

namespace {

void checkFits(const standin::CallResult& result, int nlhs, bool depth) {
    if (nlhs < 4) {
        return;
    }
    const mxArray* params = result.outputs[0].get();
    const auto rows = static_cast<size_t>(mxGetM(params));
    const auto columns = static_cast<size_t>(mxGetN(params));
    FUZZ_CHECK(columns == 4 || columns == 5 || columns == 6);
    FUZZ_CHECK(!depth || columns == 5);
    const auto* theta = static_cast<const double*>(mxGetData(params));
    const auto* crlb = static_cast<const double*>(mxGetData(result.outputs[1].get()));
    const auto* ratio = static_cast<const double*>(mxGetData(result.outputs[2].get()));
    const auto* status = static_cast<const double*>(mxGetData(result.outputs[3].get()));
    for (size_t k = 0; k < rows; ++k) {
        FUZZ_CHECK(status[k] == 0 || status[k] == 1 || status[k] == 2 || status[k] == 3 ||
                   (depth && status[k] == 4));
        const bool failed = status[k] == 2 || status[k] == 3;
        FUZZ_CHECK(std::isnan(ratio[k]) == failed);
        for (size_t p = 0; p < columns; ++p) {
            FUZZ_CHECK(std::isnan(theta[k + p * rows]) == failed);
            FUZZ_CHECK(std::isnan(crlb[k + p * rows]) == failed);
        }
        if (!failed) {
            FUZZ_CHECK(theta[k] >= -0.5 && theta[k + rows] >= -0.5 && theta[k + 2 * rows] > 0 &&
                       theta[k + 3 * rows] > 0);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    const int nlhs = data.ConsumeIntegralInRange<int>(0, 5);
    const int count = fuzzing::inputCount(data, data.ConsumeIntegralInRange<int>(2, 4));
    std::vector<standin::ArrayPtr> inputs;
    std::vector<size_t> boxDims;
    for (int k = 0; k < count; ++k) {
        if (k == 3) {
            inputs.push_back(fuzzing::readVarianceInput(data, boxDims));
        } else if (k == 0) {
            inputs.push_back(fuzzing::boxesInput(data, &boxDims));
        } else if (k == 1) {
            inputs.push_back(fuzzing::spotShapeInput(data));
        } else {
            inputs.push_back(fuzzing::slotArray(data, mxDOUBLE_CLASS, {1, 1}));
        }
    }
    const auto result = standin::call(mexFunction, "spotFit", nlhs, fuzzing::raw(inputs));
    fuzzing::checkHostPromises(result);
    if (!result.failed) {
        checkFits(result, nlhs, mxIsStruct(inputs[1].get()));
    }
    return 0;
}
