// Loads the modules of a MATLAB-route build (the folder given) into the stand-in host as MATLAB
// would load them, and checks that each reports the R2017b interface and answers as the CMake
// build's kernels do: a few calls each, one of them an error, one with an array of more than
// 2^31 elements.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "boxes.h"
#include "crowd.h"
#include "find.h"
#include "fit.h"
#include "mosaic.h"
#include "recording_files.h"
#include "standin_host.h"

namespace {

int failures = 0;

void check(bool holds, const std::string& what) {
    if (!holds) {
        std::printf("FAILED: %s\n", what.c_str());
        ++failures;
    }
}

using VersionQuery = void (*)(unsigned int*, unsigned int*);

standin::MexEntry load(const std::string& folder, const std::string& name) {
    const std::string file = folder + "/" + name + ".mexa64";
    void* module = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        check(false, std::string("loading ") + dlerror());
        return nullptr;
    }
    const auto version = reinterpret_cast<VersionQuery>(dlsym(module, "mexfilerequiredapiversion"));
    unsigned int release = 0;
    unsigned int api = 0;
    if (version != nullptr) {
        version(&release, &api);
    }
    check(api == 730, name + " is not built for the R2017b interface (64-bit dimensions)");
    return reinterpret_cast<standin::MexEntry>(dlsym(module, "mexFunction"));
}

standin::CallResult call(standin::MexEntry entry, const char* name, int nlhs,
                         const std::vector<standin::ArrayPtr>& inputs) {
    std::vector<const mxArray*> raw;
    for (const auto& input : inputs) {
        raw.push_back(input.get());
    }
    return standin::call(entry, name, nlhs, raw);
}

void dotMosaicAnswers(standin::MexEntry entry) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> spread(-2.0f, 40.0f);
    std::vector<float> x(5000);
    std::vector<float> y(5000);
    for (size_t i = 0; i < x.size(); ++i) {
        x[i] = spread(rng);
        y[i] = spread(rng);
    }
    std::vector<standin::ArrayPtr> in;
    in.push_back(standin::makeScalar(37));
    in.push_back(standin::makeScalar(23));
    in.push_back(standin::makeFilled<float>(mxSINGLE_CLASS, {x.size(), 1}, x));
    in.push_back(standin::makeFilled<float>(mxSINGLE_CLASS, {y.size(), 1}, y));
    in.push_back(standin::makeScalar(1));
    const auto result = call(entry, "dotMosaic", 2, in);
    std::vector<uint16_t> counts(37 * 23);
    std::vector<float> levels(counts.size());
    binPoints(37, 23, 5000, x.data(), y.data(), counts.data());
    equalizeCounts(counts.data(), levels.data(), static_cast<int64_t>(counts.size()));
    check(!result.failed && result.unwrittenOutputs == 0, "dotMosaic: " + result.message);
    if (!result.failed) {
        const auto* got = standin::elementsOf<uint16_t>(result.outputs[0].get());
        const auto* gotLevels = standin::elementsOf<float>(result.outputs[1].get());
        check(std::vector<uint16_t>(got, got + counts.size()) == counts &&
                  std::vector<float>(gotLevels, gotLevels + levels.size()) == levels,
              "dotMosaic differs from binPoints and equalizeCounts");
    }
    in.pop_back();
    const auto error = call(entry, "dotMosaic", 1, in);
    check(error.failed && error.message == "Must input sizeX,sizeY,X,Y,UseHistEqual!\n",
          "dotMosaic with four inputs: " + error.message);
}

void boxGatherAnswers(standin::MexEntry entry) {
    // 2048 x 2048 x 513 singles: more than 2^31 elements, as a recording of that size is.
    // Only the pages written or read take up memory.
    std::vector<standin::ArrayPtr> in;
    in.push_back(standin::makeFilled<double>(mxDOUBLE_CLASS, {3, 1}, {5.4, 2047, 1000}));
    in.push_back(standin::makeFilled<double>(mxDOUBLE_CLASS, {3, 1}, {9, -4, 1500.5}));
    in.push_back(standin::makeFilled<double>(mxDOUBLE_CLASS, {3, 1}, {512, 511.7, 0}));
    in.push_back(standin::makeScalar(5));
    in.push_back(standin::makeArray(mxSINGLE_CLASS, {2048, 2048, 513}));
    float* stack = standin::elementsOf<float>(in[4].get());
    const size_t frame = size_t{2048} * 2048;
    for (size_t k : {size_t{0}, size_t{511}, size_t{512}}) {
        for (size_t i = 0; i < 2048 * 20; ++i) {
            stack[k * frame + i] = static_cast<float>(k * 7 + i % 2048 + i / 2048);
        }
    }
    const auto result = call(entry, "boxGather", 3, in);
    check(!result.failed && result.unwrittenOutputs == 0, "boxGather: " + result.message);
    if (!result.failed) {
        std::vector<float> boxes(25 * 3);
        std::vector<float> cornerX(3);
        std::vector<float> cornerY(3);
        const BoxSource source{stack,
                               2048,
                               2048,
                               standin::elementsOf<double>(in[0].get()),
                               standin::elementsOf<double>(in[1].get()),
                               standin::elementsOf<double>(in[2].get())};
        cutBoxes(source, BoxTarget{boxes.data(), cornerX.data(), cornerY.data(), 5}, 3);
        const auto* got = standin::elementsOf<float>(result.outputs[0].get());
        check(std::vector<float>(got, got + boxes.size()) == boxes && boxes[0] == 3584 + 7 + 3,
              "boxGather differs from cutBoxes");
        check(standin::elementsOf<float>(result.outputs[2].get())[1] == 0.0f, "boxGather corner");
    }
    in[4] = standin::makeArray(mxDOUBLE_CLASS, {8, 8});
    const auto error = call(entry, "boxGather", 3, in);
    check(error.failed && error.identifier == "boxGather:WrongPrecision",
          "boxGather with double data: " + error.identifier);
}

void frameFetchAnswers(standin::MexEntry entry) {
    // MATLAB's characters are UTF-16; the module hands the library UTF-8.
    RecordingFolder folder;
    const std::u16string name = u"r\u00e9sum\u00e9 \u663e\U0001F52C.rec";
    const std::string utf8Name = "r\xC3\xA9sum\xC3\xA9 \xE6\x98\xBE\xF0\x9F\x94\xAC.rec";
    folder.write(utf8Name, headerOf(3, 6, 4));
    const std::string folderPath = folder.path("");
    std::vector<standin::ArrayPtr> in;
    in.push_back(standin::makeScalar(2));
    in.push_back(
        standin::makeUtf16Text(std::u16string(folderPath.begin(), folderPath.end()) + name));
    const auto result = call(entry, "frameFetch", 2, in);
    check(!result.failed && result.printed.empty(),
          "frameFetch: " + result.message + result.printed);
    if (!result.failed && result.printed.empty()) {
        const auto* pixels = standin::elementsOf<uint16_t>(result.outputs[0].get());
        bool same = standin::dimsOf(result.outputs[0].get()) == std::vector<size_t>{6, 4};
        for (uint32_t k = 0; same && k < 24; ++k) {
            same = pixels[k] == pixelValue(k % 6, k / 6, 2);
        }
        check(same, "frameFetch differs from the recording");
        check(*standin::elementsOf<double>(result.outputs[1].get()) == 3, "frameFetch count");
    }
    in[1] = standin::makeUtf16Text(std::u16string(u"a\0b", 3));
    const auto error = call(entry, "frameFetch", 2, in);
    check(error.failed && error.message == "path must not contain a NUL character.\n",
          "frameFetch with a NUL: " + error.message);
}

void spotFitAnswers(standin::MexEntry entry) {
    std::vector<standin::ArrayPtr> in;
    std::vector<double> boxes(7 * 7 * 2);
    for (size_t k = 0; k < boxes.size(); ++k) {
        boxes[k] = static_cast<double>((k * 37) % 11) + (k % 49 == 17 ? 300.0 : 0.0);
    }
    in.push_back(standin::makeFilled<double>(mxDOUBLE_CLASS, {7, 7, 2}, boxes));
    in.push_back(standin::makeScalar(1.3));
    const auto result = call(entry, "spotFit", 4, in);
    check(!result.failed && result.unwrittenOutputs == 0, "spotFit: " + result.message);
    if (!result.failed) {
        std::vector<double> work(fitWorkLength(7));
        for (int k = 0; k < 2; ++k) {
            const BoxFit fit = fitBox(boxes.data() + 49 * k, SpotModel{7, 1.3, false}, work.data());
            const auto* params = standin::elementsOf<double>(result.outputs[0].get());
            const auto* status = standin::elementsOf<double>(result.outputs[3].get());
            check(std::memcmp(&params[k], &fit.params[0], 8) == 0 &&
                      std::memcmp(&params[k + 6], &fit.params[3], 8) == 0 &&
                      status[k] == fit.status,
                  "spotFit differs from fitBox");
        }
    }
    in[1] = standin::makeScalar(8);
    const auto error = call(entry, "spotFit", 1, in);
    check(error.failed && error.identifier == "spotFit:BadSigma",
          "spotFit with sigma above g: " + error.identifier);
}

void spotFindAnswers(standin::MexEntry entry) {
    std::vector<uint16_t> frame(40 * 30);
    for (size_t k = 0; k < frame.size(); ++k) {
        frame[k] = static_cast<uint16_t>(100 + (k * 7919) % 13 + (k == 400 ? 900 : 0));
    }
    std::vector<standin::ArrayPtr> in;
    in.push_back(standin::makeFilled<uint16_t>(mxUINT16_CLASS, {40, 30}, frame));
    in.push_back(standin::makeScalar(1.3));
    in.push_back(standin::makeScalar(5));
    const auto result = call(entry, "spotFind", 4, in);
    check(!result.failed && result.unwrittenOutputs == 0, "spotFind: " + result.message);
    if (!result.failed) {
        const auto want =
            findSpots(Stack<uint16_t>{frame.data(), 40, 30, 1}, makeSpotFilter(1.3), 5.0, 1);
        const auto* x = standin::elementsOf<double>(result.outputs[0].get());
        const auto* s = standin::elementsOf<double>(result.outputs[3].get());
        bool same = mxGetM(result.outputs[0].get()) == want.size() && !want.empty();
        for (size_t k = 0; same && k < want.size(); ++k) {
            same = x[k] == want[k].x && s[k] == want[k].strength;
        }
        check(same, "spotFind differs from findSpots");
    }
    in[2] = standin::makeScalar(NAN);
    const auto error = call(entry, "spotFind", 1, in);
    check(error.failed && error.identifier == "spotFind:BadThreshold",
          "spotFind with a NaN threshold: " + error.identifier);
}

void crowdFitAnswers(standin::MexEntry entry) {
    std::vector<double> region(9 * 9);
    for (size_t k = 0; k < region.size(); ++k) {
        region[k] = static_cast<double>((k * 37) % 11) + (k == 30 || k == 32 ? 400.0 : 0.0);
    }
    const std::vector<double> starts = {3, 3, 5, 3};
    std::vector<standin::ArrayPtr> in;
    in.push_back(standin::makeFilled<double>(mxDOUBLE_CLASS, {9, 9}, region));
    in.push_back(standin::makeFilled<double>(mxDOUBLE_CLASS, {2, 3}, {1, 1, 3, 5, 3, 3}));
    in.push_back(standin::makeScalar(1.3));
    const auto result = call(entry, "crowdFit", 4, in);
    check(!result.failed && result.unwrittenOutputs == 0, "crowdFit: " + result.message);
    if (!result.failed) {
        std::vector<double> work(regionWorkLength(9));
        const RegionFit fit = fitRegion(region.data(), ReadVariance{}, RegionModel{9, 1.3, 5},
                                        starts.data(), 2, work.data());
        const auto* params = standin::elementsOf<double>(result.outputs[0].get());
        const auto rows = static_cast<int>(mxGetM(result.outputs[0].get()));
        bool same = rows == fit.emitters;
        for (int e = 0; same && e < rows; ++e) {
            same = std::memcmp(&params[e + rows], &fit.emitter[e].x, 8) == 0 &&
                   std::memcmp(&params[e + 3 * rows], &fit.emitter[e].photons, 8) == 0;
        }
        check(same, "crowdFit differs from fitRegion");
    }
    in[1] = standin::makeFilled<double>(mxDOUBLE_CLASS, {1, 3}, {2, 3, 3});
    const auto error = call(entry, "crowdFit", 1, in);
    check(error.failed && error.identifier == "crowdFit:BadStarts",
          "crowdFit with a start in no region: " + error.identifier);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("usage: matlab_modules FOLDER_OF_MEXA64_FILES\n");
        return 2;
    }
    const std::string folder = argv[1];
    if (const auto entry = load(folder, "dotMosaic")) {
        dotMosaicAnswers(entry);
    }
    if (const auto entry = load(folder, "boxGather")) {
        boxGatherAnswers(entry);
    }
    if (const auto entry = load(folder, "frameFetch")) {
        frameFetchAnswers(entry);
    }
    if (const auto entry = load(folder, "spotFit")) {
        spotFitAnswers(entry);
    }
    if (const auto entry = load(folder, "spotFind")) {
        spotFindAnswers(entry);
    }
    if (const auto entry = load(folder, "crowdFit")) {
        crowdFitAnswers(entry);
    }
    std::printf("%s\n", failures == 0 ? "the MATLAB modules answer as the CMake build does"
                                      : "the MATLAB modules differ");
    return failures == 0 ? 0 : 1;
}
