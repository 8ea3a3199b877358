// crowdFit's entry through the stand-in host, with inputs of any number, class, shape and
// value: regions, a table of starts mostly inside them, sigma or a depth calibration and a read
// variance. Every emitter that comes back lies in reach of its region with one of the statuses
// (outside the calibrated depth only with one), NaN exactly where the status says so, and a
// region's ratio is a number exactly when one of its emitters was fitted.
#include <cmath>

#include "crowd.h"
#include "fuzz_inputs.h"

extern "C" void mexFunction(int, mxArray*[], int, const mxArray*[]);

namespace {

// Mostly rows of a region from 1 to count (and sometimes one past), x and y from -1 to g.
standin::ArrayPtr startsInput(FuzzedDataProvider& data, const std::vector<size_t>& regionDims) {
    if (data.ConsumeIntegralInRange<int>(0, 7) == 0 || regionDims.size() < 2) {
        return fuzzing::slotArray(data, mxDOUBLE_CLASS, fuzzing::anyShape(data));
    }
    const size_t g = regionDims[0];
    const size_t count = regionDims.size() > 2 ? regionDims[2] : 1;
    const auto rows = data.ConsumeIntegralInRange<size_t>(0, 12);
    standin::ArrayPtr starts = standin::makeArray(mxDOUBLE_CLASS, {rows, 3});
    auto* table = static_cast<double*>(mxGetData(starts.get()));
    for (size_t r = 0; r < rows; ++r) {
        table[r] = static_cast<double>(data.ConsumeIntegralInRange<size_t>(1, count + 1));
        table[r + rows] = data.ConsumeFloatingPointInRange<double>(-1.0, static_cast<double>(g));
        table[r + 2 * rows] =
            data.ConsumeFloatingPointInRange<double>(-1.0, static_cast<double>(g));
    }
    return starts;
}

void checkFits(const standin::CallResult& result, int nlhs, size_t g, bool depth) {
    if (nlhs < 4) {
        return;
    }
    const mxArray* params = result.outputs[0].get();
    const auto rows = static_cast<size_t>(mxGetM(params));
    const size_t columns = depth ? 6 : 5;
    FUZZ_CHECK(mxGetN(params) == columns && mxGetN(result.outputs[1].get()) == columns - 1);
    const auto regions = static_cast<size_t>(mxGetM(result.outputs[2].get()));
    const auto* theta = static_cast<const double*>(mxGetData(params));
    const auto* crlb = static_cast<const double*>(mxGetData(result.outputs[1].get()));
    const auto* ratio = static_cast<const double*>(mxGetData(result.outputs[2].get()));
    const auto* status = static_cast<const double*>(mxGetData(result.outputs[3].get()));
    std::vector<bool> fitted(regions, false);
    for (size_t k = 0; k < rows; ++k) {
        FUZZ_CHECK(status[k] == 0 || status[k] == 1 || status[k] == 2 || status[k] == 3 ||
                   (depth && status[k] == 4));
        FUZZ_CHECK(theta[k] >= 1 && theta[k] <= static_cast<double>(regions));
        FUZZ_CHECK(k == 0 || theta[k] >= theta[k - 1]);
        const bool failed = status[k] == 2 || status[k] == 3;
        for (size_t p = 1; p < columns; ++p) {
            FUZZ_CHECK(std::isnan(theta[k + p * rows]) == failed);
            FUZZ_CHECK(std::isnan(crlb[k + (p - 1) * rows]) == failed);
        }
        if (!failed) {
            const double low = -0.5 - kBeyondEdge;
            const double high = static_cast<double>(g) - 0.5 + kBeyondEdge;
            const double x = theta[k + rows];
            const double y = theta[k + 2 * rows];
            FUZZ_CHECK(x >= low && x <= high && y >= low && y <= high);
            FUZZ_CHECK(theta[k + 3 * rows] > 0 && theta[k + 4 * rows] > 0);
            fitted[static_cast<size_t>(theta[k]) - 1] = true;
        }
    }
    for (size_t r = 0; r < regions; ++r) {
        FUZZ_CHECK(std::isnan(ratio[r]) != fitted[r]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    const int nlhs = data.ConsumeIntegralInRange<int>(0, 5);
    const int count = fuzzing::inputCount(data, data.ConsumeIntegralInRange<int>(3, 4));
    std::vector<standin::ArrayPtr> inputs;
    std::vector<size_t> regionDims;
    for (int k = 0; k < count; ++k) {
        if (k == 0) {
            inputs.push_back(fuzzing::boxesInput(data, &regionDims));
        } else if (k == 1) {
            inputs.push_back(startsInput(data, regionDims));
        } else if (k == 3) {
            inputs.push_back(fuzzing::readVarianceInput(data, regionDims));
        } else {
            inputs.push_back(fuzzing::spotShapeInput(data));
        }
    }
    const auto result = standin::call(mexFunction, "crowdFit", nlhs, fuzzing::raw(inputs));
    fuzzing::checkHostPromises(result);
    if (!result.failed) {
        checkFits(result, nlhs, regionDims[0], mxIsStruct(inputs[2].get()));
    }
    return 0;
}
