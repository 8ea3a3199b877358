// crowdFit(regions, starts, sigma[, readVariance]): fits the overlapping spots of each region
// jointly by maximum likelihood, from the candidates found in it, adding an emitter where the
// region holds more light than its emitters explain; returns each emitter's estimates, bounds
// and status, and each region's log-likelihood ratio.
#include <cmath>
#include <vector>

#include "crowd.h"
#include "fit_inputs.h"
#include "gateway.h"
#include "maximise.h"
#include "parallel.h"

namespace {

const char* const kUsage =
    "Usage: [params, crlb, logLikelihoodRatio, status] = crowdFit(regions, starts, sigma, "
    "readVariance)\n";
const char* const kWrongType = "crowdFit:WrongType";

// A region's fit costs tens of microseconds: fewer than this are not worth a thread.
constexpr int64_t kRegionsPerThread = 16;

// The starts of each region, as x, y pairs grouped by region (in the order given within one),
// and where each region's begin: starts checked to lie in a region of the set and inside it.
struct GroupedStarts {
    std::vector<double> xy;
    std::vector<int64_t> first;
};

GroupedStarts groupStarts(const double* table, int64_t rows, int64_t regions, int32_t g) {
    GroupedStarts grouped;
    grouped.first.assign(static_cast<size_t>(regions) + 1, 0);
    const double edge = g - 0.5;
    for (int64_t r = 0; r < rows; ++r) {
        const double region = table[r];
        const double x = table[r + rows];
        const double y = table[r + 2 * rows];
        if (!(region >= 1 && region <= static_cast<double>(regions) &&
              region == std::floor(region) && x >= -0.5 && x <= edge && y >= -0.5 && y <= edge)) {
            gateway::raiseError("crowdFit:BadStarts",
                                "each start's region must be a whole number from 1 to the number "
                                "of regions, and its x and y within the region, -0.5 to %g.\n",
                                edge);
        }
        ++grouped.first[static_cast<size_t>(region)];
    }
    for (int64_t k = 0; k < regions; ++k) {
        if (grouped.first[static_cast<size_t>(k) + 1] > kMaxEmitters) {
            gateway::raiseError("crowdFit:TooManyStarts", "a region holds at most %d starts.\n",
                                kMaxEmitters);
        }
        grouped.first[static_cast<size_t>(k) + 1] += grouped.first[static_cast<size_t>(k)];
    }
    grouped.xy.resize(2 * static_cast<size_t>(rows));
    std::vector<int64_t> next(grouped.first.begin(), grouped.first.end() - 1);
    for (int64_t r = 0; r < rows; ++r) {
        const auto region = static_cast<size_t>(table[r]) - 1;
        const auto slot = static_cast<size_t>(next[region]++);
        grouped.xy[2 * slot] = table[r + rows];
        grouped.xy[2 * slot + 1] = table[r + 2 * rows];
    }
    return grouped;
}

void fitCrowds(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nrhs != 3 && nrhs != 4) {
        gateway::raiseError("crowdFit:WrongNumberOfInputs", "%s", kUsage);
    }
    const mxArray* regions = prhs[0];
    fitting::requireBoxClass(regions, "regions");
    if (!gateway::isRealNumeric(prhs[1])) {
        gateway::raiseError(kWrongType, "starts must be a real numeric table.\n");
    }
    const bool depth = mxIsStruct(prhs[2]);
    if (!depth && !gateway::isRealNumericScalar(prhs[2])) {
        gateway::raiseError(kWrongType, "sigma must be a real numeric scalar or psf a struct.\n");
    }
    const gateway::Shape shape = fitting::boxStackShape(regions, "regions");
    const int32_t g = shape.dims[0];
    const gateway::Shape startShape = gateway::readShape(prhs[1]);
    // No starts: 0-by-3, or [] as callers write it; a 3-by-0 table is a mistake.
    const bool noneAtAll = startShape.dims[0] == 0 && startShape.dims[1] == 0;
    if (startShape.count != 2 || (startShape.dims[1] != 3 && !noneAtAll)) {
        gateway::raiseError("crowdFit:WrongSize",
                            "starts must have three columns: region, x and y.\n");
    }
    DepthCalibration calibration{};
    double sigma = 0.0;
    double startDepth = 0.0;
    if (depth) {
        calibration = fitting::depthCalibrationOf(prhs[2]);
        // Spots start where their widths are equal, and new emitters are looked for with
        // that width.
        startDepth = roundDepth(calibration);
        sigma = 0.5 * (widthAt(calibration, 0, startDepth).sigma +
                       widthAt(calibration, 1, startDepth).sigma);
    } else {
        sigma = fitting::checkedSigma(mxGetScalar(prhs[2]), g, "region side");
    }
    const int32_t count = shape.dims[2];
    const int64_t rows = startShape.elements == 0 ? 0 : startShape.dims[0];
    gateway::Scratch scratch;
    const double* table = gateway::readAsDoubles(prhs[1], 3 * rows, &scratch);
    const GroupedStarts starts = groupStarts(table, rows, count, g);
    const ReadVariance variance =
        nrhs == 4 ? fitting::readVarianceOf(prhs[3], regions, "regions") : ReadVariance{};

    const RegionModel model{g, sigma, kMaxEmitters, depth ? &calibration : nullptr, startDepth};
    const int threads = parallel::threadsFor(count, kRegionsPerThread);
    std::vector<RegionFit> fits;
    if (mxGetClassID(regions) == mxSINGLE_CLASS) {
        const RegionSet<float> set{static_cast<const float*>(mxGetData(regions)), count, variance,
                                   starts.xy.data(), starts.first.data()};
        fits = fitRegions(set, model, threads);
    } else {
        const RegionSet<double> set{static_cast<const double*>(mxGetData(regions)), count, variance,
                                    starts.xy.data(), starts.first.data()};
        fits = fitRegions(set, model, threads);
    }
    int64_t emitters = 0;
    for (const RegionFit& fit : fits) {
        emitters += fit.emitters;
    }
    if (emitters > INT32_MAX) {
        gateway::raiseDimensionTooLarge();
    }
    const auto total = static_cast<int32_t>(emitters);
    const auto unfilled = gateway::Fill::kUnfilled;
    const int columns = depth ? 6 : 5;  // region, x, y, photons, background[, z]
    mxArray* params = gateway::createOutputMatrix(total, columns, mxDOUBLE_CLASS, unfilled);
    mxArray* crlb = gateway::createOutputMatrix(total, columns - 1, mxDOUBLE_CLASS, unfilled);
    mxArray* ratio = gateway::createOutputMatrix(count, 1, mxDOUBLE_CLASS, unfilled);
    mxArray* status = gateway::createOutputMatrix(total, 1, mxDOUBLE_CLASS, unfilled);
    auto* p = static_cast<double*>(mxGetData(params));
    auto* c = static_cast<double*>(mxGetData(crlb));
    auto* s = static_cast<double*>(mxGetData(status));
    int64_t row = 0;
    for (int32_t k = 0; k < count; ++k) {
        const RegionFit& fit = fits[static_cast<size_t>(k)];
        static_cast<double*>(mxGetData(ratio))[k] = fit.logLikelihoodRatio;
        for (int e = 0; e < fit.emitters; ++e, ++row) {
            const EmitterFit& emitter = fit.emitter[e];
            const bool fitted = emitter.status <= kStillMoving || emitter.status == kOutsideDepth;
            const double values[6] = {
                k + 1.0,  emitter.x, emitter.y, emitter.photons, fitted ? fit.background : NAN,
                emitter.z};
            const double bounds[5] = {emitter.crlb[0], emitter.crlb[1], emitter.crlb[2],
                                      fitted ? fit.backgroundCrlb : NAN, emitter.crlb[3]};
            for (int q = 0; q < columns; ++q) {
                p[row + q * emitters] = values[q];
            }
            for (int q = 0; q < columns - 1; ++q) {
                c[row + q * emitters] = bounds[q];
            }
            s[row] = emitter.status;
        }
    }
    gateway::storeOutputs(nlhs, plhs, {params, crlb, ratio, status});
}

}  // namespace

extern "C" MEX_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    gateway::runGuarded([&] { fitCrowds(nlhs, plhs, nrhs, prhs); });
}
