// boxGather(X, Y, Z, boxsize, data): cuts a boxsize-by-boxsize box around every position out of
// a single-precision image stack and returns the boxes with their corner positions.
#include <cmath>

#include "boxes.h"
#include "gateway.h"
#include "parallel.h"

namespace {

const char* const kUsage =
    "Usage: boxGather(xpostitions,ypositions,zpositions, boxsize,data)\n"
    "$Rev: 14 $\n"
    "$Date: 2026-12-08 09:30:00 +0000 (Tue, 08 Dec 2026) $\n"
    "$Author: spotlab $\n"
    "$HeadURL: https://svn.example.org/spot-toolbox/trunk/boxGather/boxGather.cpp $";

// Below this many box elements a thread is not worth starting.
constexpr int64_t kElementsPerThread = 1 << 16;

const char* const kWrongPrecision = "boxGather:WrongPrecision";
const char* const kWrongDimensions = "boxGather:WrongDimensions";
const char* const kOutOfRange = "boxGather:InputOutofRange";

bool isColumn(const gateway::Shape& shape) {
    return shape.count <= 2 && shape.dims[1] == 1;
}

// Checks whose failure needs only the shapes and classes, in the order callers rely on.
void checkShapes(const mxArray* data, const gateway::Shape& x, const gateway::Shape& y,
                 const gateway::Shape& z, const gateway::Shape& boxsize,
                 const gateway::Shape& stack) {
    // A complex stack would lose its imaginary part without a word.
    if (mxGetClassID(data) != mxSINGLE_CLASS || mxIsComplex(data)) {
        gateway::raiseError(kWrongPrecision, "data must be comprised of single floats\n");
    }
    if (x.dims[0] == 0) {
        gateway::raiseError(kWrongDimensions, "X coordinate array is empty.\n");
    }
    if (y.dims[0] == 0) {
        gateway::raiseError(kWrongDimensions, "Y coordinate array is empty.\n");
    }
    if (z.dims[0] == 0) {
        gateway::raiseError(kWrongDimensions, "Z coordinate array is empty.\n");
    }
    if (!isColumn(x)) {
        gateway::raiseError(kWrongDimensions, "X should be a 1 dimensional array.\n");
    }
    if (!isColumn(y)) {
        gateway::raiseError(kWrongDimensions, "Y should be a 1 dimensional array.\n");
    }
    if (!isColumn(z)) {
        gateway::raiseError(kWrongDimensions, "Z should be a 1 dimensional array.\n");
    }
    if (y.dims[0] != x.dims[0] || z.dims[0] != x.dims[0]) {
        gateway::raiseError("boxGather:DimensionMismatch",
                            "Size of X and Y and Z coordinates must match.\n");
    }
    if (boxsize.dims[0] != 1 || boxsize.dims[1] != 1 || boxsize.elements != 1) {
        gateway::raiseError(kWrongDimensions,
                            "boxsize should be a single value specifying the szxsz region size.\n");
    }
    if (stack.count != 2 && stack.count != 3) {
        gateway::raiseError(kWrongDimensions, "data should be a 3 dimensional array not %d.\n",
                            stack.count);
    }
}

void gatherBoxes(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nrhs != 5) {
        gateway::raiseError("MATLAB:WrongNumberOfInputs", "%s", kUsage);
    }
    const gateway::Shape xShape = gateway::readShape(prhs[0]);
    const gateway::Shape yShape = gateway::readShape(prhs[1]);
    const gateway::Shape zShape = gateway::readShape(prhs[2]);
    const gateway::Shape boxsizeShape = gateway::readShape(prhs[3]);
    const gateway::Shape stackShape = gateway::readShape(prhs[4]);
    checkShapes(prhs[4], xShape, yShape, zShape, boxsizeShape, stackShape);

    if (!gateway::isScalarLike(prhs[3])) {
        gateway::raiseError(kWrongPrecision, "boxsize must be a real numeric value.\n");
    }
    const int32_t pointCount = xShape.dims[0];
    const int32_t g = gateway::readScalarInt32(prhs[3]);
    const int32_t rows = stackShape.dims[0];
    const int32_t cols = stackShape.dims[1];
    const int32_t frames = stackShape.dims[2];
    if (g < 1) {
        gateway::raiseError(kOutOfRange, "boxsize must be a positive integer.\n");
    }
    if (g > rows || g > cols) {
        gateway::raiseError(kOutOfRange, "data size must be bigger than boxsize\n");
    }
    if (!gateway::isRealNumeric(prhs[0]) || !gateway::isRealNumeric(prhs[1]) ||
        !gateway::isRealNumeric(prhs[2])) {
        gateway::raiseError(kWrongPrecision, "X, Y and Z must be real numeric arrays.\n");
    }
    if (frames == 0) {
        gateway::raiseError(kOutOfRange, "data holds no frames.\n");
    }

    gateway::Scratch scratch[3];
    const double* x = gateway::readAsDoubles(prhs[0], pointCount, &scratch[0]);
    const double* y = gateway::readAsDoubles(prhs[1], pointCount, &scratch[1]);
    const double* z = gateway::readAsDoubles(prhs[2], pointCount, &scratch[2]);
    // Released before an error is raised: the host may end the call without unwinding.
    auto releaseScratch = [&] {
        for (gateway::Scratch& block : scratch) {
            block.reset();
        }
    };
    // Positions are checked before any output exists: nothing is ever read outside the stack.
    for (int32_t i = 0; i < pointCount; ++i) {
        if (!(z[i] > -1.0 && z[i] < frames)) {  // truncates to 0 .. frames - 1; NaN fails
            releaseScratch();
            gateway::raiseError(kOutOfRange, "Z must hold frame indices from 0 to %d.\n",
                                frames - 1);
        }
    }
    for (int32_t i = 0; i < pointCount; ++i) {
        if (std::isnan(x[i]) || std::isnan(y[i])) {
            releaseScratch();
            gateway::raiseError(kOutOfRange, "X and Y must not be NaN.\n");
        }
    }

    // Every element of the three outputs is written below.
    const int32_t boxDims[3] = {g, g, pointCount};
    const auto unfilled = gateway::Fill::kUnfilled;
    mxArray* boxes = gateway::createOutput(3, boxDims, mxSINGLE_CLASS, unfilled);
    mxArray* cornerX = gateway::createOutputMatrix(pointCount, 1, mxSINGLE_CLASS, unfilled);
    mxArray* cornerY = gateway::createOutputMatrix(pointCount, 1, mxSINGLE_CLASS, unfilled);
    const BoxSource source{static_cast<const float*>(mxGetData(prhs[4])), rows, cols, x, y, z};
    const BoxTarget target{static_cast<float*>(mxGetData(boxes)),
                           static_cast<float*>(mxGetData(cornerX)),
                           static_cast<float*>(mxGetData(cornerY)), g};
    const int64_t elements = static_cast<int64_t>(g) * g * pointCount;
    cutBoxes(source, target, pointCount, parallel::threadsFor(elements, kElementsPerThread));
    releaseScratch();

    gateway::storeOutputs(nlhs, plhs, {boxes, cornerX, cornerY});
}

}  // namespace

extern "C" MEX_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    gateway::runGuarded([&] { gatherBoxes(nlhs, plhs, nrhs, prhs); });
}
