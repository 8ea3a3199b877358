// spotFit(boxes, sigma[, fitSigma[, readVariance]]): fits each g-by-g box with a
// pixel-integrated Gaussian spot on a flat background by maximum likelihood under Poisson
// noise (with each pixel's read variance, for a scientific CMOS camera), and returns the
// estimates, their Cramer-Rao bounds, the log-likelihood ratio and a status per box. With a
// depth calibration psf in place of sigma, the spot's widths follow its depth, which is fitted.
#include <cmath>

#include "fit.h"
#include "fit_inputs.h"
#include "gateway.h"
#include "parallel.h"

namespace {

const char* const kUsage =
    "Usage: [params, crlb, logLikelihoodRatio, status] = spotFit(boxes, sigma, fitSigma, "
    "readVariance)\n";
const char* const kWrongType = "spotFit:WrongType";

// A fit costs microseconds: fewer boxes than this are not worth a thread.
constexpr int64_t kBoxesPerThread = 64;

void fitSpots(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nrhs < 2 || nrhs > 4) {
        gateway::raiseError("spotFit:WrongNumberOfInputs", "%s", kUsage);
    }
    const mxArray* boxes = prhs[0];
    fitting::requireBoxClass(boxes, "boxes");
    const bool depth = mxIsStruct(prhs[1]);
    // A 1-by-2 sigma gives the widths along x and y.
    const bool twoWidths = gateway::isRealNumeric(prhs[1]) &&
                           mxGetNumberOfDimensions(prhs[1]) == 2 && mxGetM(prhs[1]) == 1 &&
                           mxGetN(prhs[1]) == 2;
    if (!depth && !twoWidths && !gateway::isRealNumericScalar(prhs[1])) {
        gateway::raiseError(kWrongType,
                            "sigma must be a real numeric scalar or 1-by-2, or psf a struct.\n");
    }
    // fitSigma [] is false, so that readVariance can follow a psf.
    const bool noFitSigma = nrhs < 3 || mxGetNumberOfElements(prhs[2]) == 0;
    if (!noFitSigma && !gateway::isRealNumericScalar(prhs[2]) &&
        !(mxIsLogical(prhs[2]) && mxGetNumberOfElements(prhs[2]) == 1)) {
        gateway::raiseError(kWrongType,
                            "fitSigma must be a real numeric or logical scalar, or [].\n");
    }
    const bool fitSigma = !noFitSigma && mxGetScalar(prhs[2]) != 0.0;
    const gateway::Shape shape = fitting::boxStackShape(boxes, "boxes");
    const int32_t g = shape.dims[0];
    DepthCalibration calibration{};
    double sigma = 0.0;
    double sigmaY = 0.0;
    if (twoWidths) {
        gateway::Scratch scratch;
        const double* widths = gateway::readAsDoubles(prhs[1], 2, &scratch);
        sigma = fitting::checkedSigma(widths[0], g, "box side");
        sigmaY = fitting::checkedSigma(widths[1], g, "box side");
    } else if (depth) {
        calibration = fitting::depthCalibrationOf(prhs[1]);
        if (fitSigma) {
            gateway::raiseEscaped("BadPsf",
                                  "with a psf the depth sets the widths: fitSigma must "
                                  "be false or [].");
        }
    } else {
        sigma = fitting::checkedSigma(mxGetScalar(prhs[1]), g, "box side");
    }
    const ReadVariance variance =
        nrhs == 4 ? fitting::readVarianceOf(prhs[3], boxes, "boxes") : ReadVariance{};
    const SpotModel model{g, sigma, fitSigma, depth ? &calibration : nullptr, sigmaY};
    const int32_t count = shape.dims[2];

    const auto unfilled = gateway::Fill::kUnfilled;
    mxArray* params = gateway::createOutputMatrix(count, model.params(), mxDOUBLE_CLASS, unfilled);
    mxArray* crlb = gateway::createOutputMatrix(count, model.params(), mxDOUBLE_CLASS, unfilled);
    mxArray* ratio = gateway::createOutputMatrix(count, 1, mxDOUBLE_CLASS, unfilled);
    mxArray* status = gateway::createOutputMatrix(count, 1, mxDOUBLE_CLASS, unfilled);
    const FitTargets targets{
        static_cast<double*>(mxGetData(params)), static_cast<double*>(mxGetData(crlb)),
        static_cast<double*>(mxGetData(ratio)), static_cast<double*>(mxGetData(status))};
    const int threads = parallel::threadsFor(count, kBoxesPerThread);
    if (mxGetClassID(boxes) == mxSINGLE_CLASS) {
        const BoxSet<float> set{static_cast<const float*>(mxGetData(boxes)), count, variance};
        fitBoxes(set, model, targets, threads);
    } else {
        const BoxSet<double> set{static_cast<const double*>(mxGetData(boxes)), count, variance};
        fitBoxes(set, model, targets, threads);
    }
    gateway::storeOutputs(nlhs, plhs, {params, crlb, ratio, status});
}

}  // namespace

extern "C" MEX_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    gateway::runGuarded([&] { fitSpots(nlhs, plhs, nrhs, prhs); });
}
