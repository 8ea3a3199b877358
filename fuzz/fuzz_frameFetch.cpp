// frameFetch's entry through the stand-in host and the stand-in recording library, with any
// arguments: a recording written here, one made of the fuzz data, or no file at all. A frame
// that comes back is exactly the frame that was written.
#include <string>
#include <vector>

#include "fuzz_inputs.h"
#include "gateway.h"
#include "recording_files.h"

extern "C" void mexFunction(int, mxArray*[], int, const mxArray*[]);

namespace {

constexpr uint32_t kFrames = 3;
constexpr uint32_t kWidth = 5;
constexpr uint32_t kHeight = 4;
constexpr uint32_t kRowBytes = 2 * kWidth + 3;

// The folder of this run's recordings, removed when the run ends.
RecordingFolder& folder() {
    static RecordingFolder recordings;
    return recordings;
}

const std::string& goodRecording() {
    static const std::string path =
        folder().write("good.rec", headerOf(kFrames, kWidth, kHeight, kRowBytes));
    return path;
}

void checkGoodFrame(const standin::CallResult& result, double index) {
    const mxArray* frame = result.outputs[0].get();
    if (!(index > -1.0 && index < kFrames)) {
        FUZZ_CHECK(mxGetNumberOfElements(frame) == 0);
        return;
    }
    const auto k = static_cast<uint32_t>(index);
    FUZZ_CHECK(mxGetM(frame) == kWidth && mxGetN(frame) == kHeight);
    const auto* pixels = static_cast<const uint16_t*>(mxGetData(frame));
    for (uint32_t y = 0; y < kHeight; ++y) {
        for (uint32_t x = 0; x < kWidth; ++x) {
            FUZZ_CHECK(pixels[x + kWidth * y] == pixelValue(x, y, k));
        }
    }
    if (result.outputs.size() > 1) {
        FUZZ_CHECK(*static_cast<const double*>(mxGetData(result.outputs[1].get())) == kFrames);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    const int nlhs = data.ConsumeIntegralInRange<int>(0, 3);
    const int count = fuzzing::inputCount(data, 2);
    const std::string& good = goodRecording();
    std::string path;
    switch (data.ConsumeIntegralInRange<int>(0, 4)) {
        case 0:
        case 1:
            path = good;
            break;
        case 2: {
            // A recording with a header that mostly holds together and any frames after it.
            path = folder().path("fuzzed.rec");
            std::vector<unsigned char> file =
                headerBytes(headerOf(data.ConsumeIntegralInRange<uint32_t>(0, 4),
                                     data.ConsumeIntegralInRange<uint32_t>(0, 9),
                                     data.ConsumeIntegralInRange<uint32_t>(0, 9),
                                     data.ConsumeIntegralInRange<uint32_t>(0, 24)));
            if (data.ConsumeBool()) {
                file[data.ConsumeIntegralInRange<size_t>(0, file.size() - 1)] =
                    data.ConsumeIntegral<uint8_t>();
            }
            const std::string tail = data.ConsumeRandomLengthString(400);
            file.insert(file.end(), tail.begin(), tail.end());
            folder().writeBytes("fuzzed.rec", file);
            break;
        }
        case 3:
            path = folder().path("");  // a folder
            break;
        default:
            path = data.ConsumeRandomLengthString(40);
            break;
    }
    std::vector<standin::ArrayPtr> inputs;
    for (int k = 0; k < count; ++k) {
        if (k == 1 && data.ConsumeIntegralInRange<int>(0, 9) != 0) {
            inputs.push_back(standin::makeText(path));
        } else if (k == 0 && data.ConsumeIntegralInRange<int>(0, 9) != 0) {
            inputs.push_back(standin::makeScalar(fuzzing::edgeValue(data)));
        } else {
            inputs.push_back(fuzzing::anyArray(data));
        }
    }
    const auto result = standin::call(mexFunction, "frameFetch", nlhs, fuzzing::raw(inputs));
    fuzzing::checkHostPromises(result);
    const bool readGood = count == 2 && mxIsChar(inputs[1].get()) &&
                          mxGetClassID(inputs[0].get()) == mxDOUBLE_CLASS && path == good &&
                          mxGetNumberOfElements(inputs[1].get()) == good.size();
    if (!result.failed && readGood) {
        checkGoodFrame(result, mxGetScalar(inputs[0].get()));
    }
    return 0;
}
