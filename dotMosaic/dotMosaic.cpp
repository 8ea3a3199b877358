// dotMosaic(sizeX, sizeY, X, Y, UseHistEqual): counts points per pixel of a sizeX-by-sizeY
// image and, on request, histogram-equalises the counts.
#include <vector>

#include "gateway.h"
#include "mosaic.h"
#include "parallel.h"

namespace {

// Below these amounts of work a thread is not worth starting.
constexpr int64_t kPointsPerThread = 1 << 18;
constexpr int64_t kPixelsPerThread = 1 << 20;

// Binning can tally how many pixels hold each count on the way, sparing equalisation a pass
// over the image. Below this many pixels that pass costs less than clearing the tally.
constexpr int64_t kPixelsWorthATally = int64_t{4} * kCountHistogramLength;

// The imaginary part of a complex input would be dropped without a word.
bool isSingleReal(const mxArray* array) {
    return mxGetClassID(array) == mxSINGLE_CLASS && !mxIsComplex(array);
}

void renderMosaic(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nrhs != 5) {
        gateway::raiseError(nullptr, "Must input sizeX,sizeY,X,Y,UseHistEqual!\n");
    }
    if (!isSingleReal(prhs[2]) || !isSingleReal(prhs[3])) {
        gateway::raiseError(nullptr, "Array inputs must be comprised of single floats!\n");
    }
    if (!gateway::isScalarLike(prhs[0]) || !gateway::isScalarLike(prhs[1]) ||
        !gateway::isScalarLike(prhs[4])) {
        gateway::raiseError("dotMosaic:WrongType",
                            "sizeX, sizeY and UseHistEqual must be real numeric scalars.\n");
    }
    const int32_t sizeX = gateway::readLengthScalar(prhs[0]);
    const int32_t sizeY = gateway::readLengthScalar(prhs[1]);
    const bool useHistEqual = gateway::readScalarInt32(prhs[4]) != 0;
    const float* x = static_cast<const float*>(mxGetData(prhs[2]));
    const float* y = static_cast<const float*>(mxGetData(prhs[3]));
    const int64_t pointCount = gateway::readShape(prhs[2]).elements;
    if (gateway::readShape(prhs[3]).elements < pointCount) {
        gateway::raiseError(nullptr, "Y must have at least as many elements as X!\n");
    }
    if (sizeX < 1 || sizeY < 1) {
        gateway::raiseError(nullptr, "sizeX and sizeY must be at least 1!\n");
    }

    // Counts accumulate from zero, and empty pixels keep level 0: both images start zero.
    mxArray* countImage =
        gateway::createOutputMatrix(sizeX, sizeY, mxUINT16_CLASS, gateway::Fill::kZero);
    // The equalised image is only worth building when the caller takes it.
    mxArray* equalisedImage =
        gateway::hasSlot(nlhs, 1)
            ? gateway::createOutputMatrix(sizeX, sizeY, mxSINGLE_CLASS, gateway::Fill::kZero)
            : nullptr;
    auto* counts = static_cast<uint16_t*>(mxGetData(countImage));
    const int64_t pixelCount = static_cast<int64_t>(sizeX) * sizeY;
    const bool tallied = useHistEqual && pixelCount >= kPixelsWorthATally;
    std::vector<int64_t> histogram(tallied ? kCountHistogramLength : 0);
    int64_t* tally = tallied ? histogram.data() : nullptr;
    binPoints(sizeX, sizeY, pointCount, x, y, counts,
              parallel::threadsFor(pointCount, kPointsPerThread), tally);
    if (useHistEqual) {
        float* equalised =
            equalisedImage != nullptr ? static_cast<float*>(mxGetData(equalisedImage)) : nullptr;
        equalizeCounts(counts, equalised, pixelCount,
                       parallel::threadsFor(pixelCount, kPixelsPerThread), tally);
    }

    gateway::storeOutput(nlhs, plhs, 0, countImage);
    if (equalisedImage != nullptr) {
        gateway::storeOutput(nlhs, plhs, 1, equalisedImage);
    }
}

}  // namespace

extern "C" MEX_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    gateway::runGuarded([&] { renderMosaic(nlhs, plhs, nrhs, prhs); });
}
