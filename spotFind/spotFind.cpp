// spotFind(stack, sigma, threshold[, offset, gain]): the local maxima of each frame (in photons
// through the camera's maps, when given) filtered for spots of standard deviation sigma that
// reach the threshold, as 0-based positions ready for boxGather.
#include <cmath>
#include <cstdint>
#include <vector>

#include "find.h"
#include "gateway.h"
#include "parallel.h"

namespace {

const char* const kUsage =
    "Usage: [X, Y, Z, strength] = spotFind(stack, sigma, threshold, offset, gain)\n";
const char* const kWrongType = "spotFind:WrongType";
// Narrower than a tenth of a pixel, the filter is one pixel's and its Gaussian's tails lie far
// below the smallest double; wider than 20 pixels, no spot.
constexpr double kNarrowestSigma = 0.1;
constexpr double kWidestSigma = 20.0;
// Below this many pixels a thread is not worth starting.
constexpr int64_t kPixelsPerThread = 1 << 15;

template <class T>
std::vector<Candidate> findIn(const mxArray* array, const gateway::Shape& shape,
                              const CameraMaps& camera, const SpotFilter& filter,
                              double threshold) {
    const Stack<T> stack{static_cast<const T*>(mxGetData(array)), shape.dims[0], shape.dims[1],
                         shape.dims[2], camera};
    return findSpots(stack, filter, threshold,
                     parallel::threadsFor(shape.elements, kPixelsPerThread));
}

// The camera's offset and gain, each a real numeric scalar or a map of a frame's size, read as
// doubles (into `scratch` unless they are doubles already): offset finite, gain finite and
// above 0.
CameraMaps cameraOf(const mxArray* offset, const mxArray* gain, const gateway::Shape& frames,
                    gateway::Scratch scratch[2]) {
    const mxArray* maps[2] = {offset, gain};
    const int64_t pixels = static_cast<int64_t>(frames.dims[0]) * frames.dims[1];
    for (const mxArray* map : maps) {
        if (!gateway::isRealNumeric(map) || mxGetNumberOfElements(map) == 0) {
            gateway::raiseError(kWrongType,
                                "offset and gain must be real numeric scalars or maps.\n");
        }
    }
    bool perPixel[2];
    for (int k = 0; k < 2; ++k) {
        const gateway::Shape shape = gateway::readShape(maps[k]);
        perPixel[k] = shape.elements != 1;
        if (perPixel[k] && (shape.count != 2 || shape.dims[0] != frames.dims[0] ||
                            shape.dims[1] != frames.dims[1])) {
            gateway::raiseError(
                "spotFind:WrongSize",
                "offset and gain must each be a scalar or R-by-C, a frame's size.\n");
        }
    }
    const double* values[2];
    for (int k = 0; k < 2; ++k) {
        const int64_t count = perPixel[k] ? pixels : 1;
        values[k] = gateway::readAsDoubles(maps[k], count, &scratch[k]);
        for (int64_t p = 0; p < count; ++p) {
            const bool good = std::isfinite(values[k][p]) && (k == 0 || values[k][p] > 0.0);
            if (!good) {
                gateway::raiseError("spotFind:BadCamera",
                                    "offset must be finite, and gain finite and above 0.\n");
            }
        }
    }
    CameraMaps camera;
    camera.offset = values[0];
    camera.gain = values[1];
    camera.offsetMap = perPixel[0];
    camera.gainMap = perPixel[1];
    return camera;
}

void findSpotsEntry(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nrhs != 3 && nrhs != 5) {
        gateway::raiseError("spotFind:WrongNumberOfInputs", "%s", kUsage);
    }
    const mxClassID classId = mxGetClassID(prhs[0]);
    if ((classId != mxUINT16_CLASS && classId != mxSINGLE_CLASS && classId != mxDOUBLE_CLASS) ||
        mxIsComplex(prhs[0]) || mxIsSparse(prhs[0])) {
        gateway::raiseError(kWrongType,
                            "stack must be a real, full uint16, single or double array.\n");
    }
    if (!gateway::isRealNumericScalar(prhs[1]) || !gateway::isRealNumericScalar(prhs[2])) {
        gateway::raiseError(kWrongType, "sigma and threshold must be real numeric scalars.\n");
    }
    const gateway::Shape shape = gateway::readShape(prhs[0]);
    if (shape.count > 3) {
        gateway::raiseError("spotFind:WrongSize", "stack must be R-by-C or R-by-C-by-F.\n");
    }
    const double sigma = mxGetScalar(prhs[1]);
    if (!(std::isfinite(sigma) && sigma >= kNarrowestSigma && sigma <= kWidestSigma)) {
        gateway::raiseError("spotFind:BadSigma", "sigma must be finite, from 0.1 to 20.\n");
    }
    const double threshold = mxGetScalar(prhs[2]);
    if (std::isnan(threshold)) {
        gateway::raiseError("spotFind:BadThreshold", "threshold must not be NaN.\n");
    }
    gateway::Scratch scratch[2];
    const CameraMaps camera = nrhs == 5 ? cameraOf(prhs[3], prhs[4], shape, scratch) : CameraMaps{};
    const SpotFilter filter = makeSpotFilter(sigma);
    std::vector<Candidate> found;
    if (classId == mxUINT16_CLASS) {
        found = findIn<uint16_t>(prhs[0], shape, camera, filter, threshold);
    } else if (classId == mxSINGLE_CLASS) {
        found = findIn<float>(prhs[0], shape, camera, filter, threshold);
    } else {
        found = findIn<double>(prhs[0], shape, camera, filter, threshold);
    }
    if (found.size() > static_cast<size_t>(INT32_MAX)) {
        found = std::vector<Candidate>();
        gateway::raiseDimensionTooLarge();
    }
    const auto count = static_cast<int32_t>(found.size());
    const auto unfilled = gateway::Fill::kUnfilled;
    mxArray* outputs[4];
    double* values[4];
    for (int k = 0; k < 4; ++k) {
        outputs[k] = gateway::createOutputMatrix(count, 1, mxDOUBLE_CLASS, unfilled);
        values[k] = static_cast<double*>(mxGetData(outputs[k]));
    }
    for (int32_t i = 0; i < count; ++i) {
        values[0][i] = found[i].x;
        values[1][i] = found[i].y;
        values[2][i] = found[i].frame;
        values[3][i] = found[i].strength;
    }
    for (int k = 0; k < 4; ++k) {
        gateway::storeOutput(nlhs, plhs, k, outputs[k]);
    }
}

}  // namespace

extern "C" MEX_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    gateway::runGuarded([&] { findSpotsEntry(nlhs, plhs, nrhs, prhs); });
}
