// [frame, frameCount] = frameFetch(frameIndex, path): reads one frame of a camera recording
// through the recording library and returns it as a width-by-height uint16 matrix, with the
// number of frames in the recording. Library failures print a line and give an empty frame.
#include <cmath>

#include "gateway.h"
#include "parallel.h"
#include "recording.h"

namespace {

// Below this many pixels a thread is not worth starting: a 2048-by-2048 frame copies faster
// on one thread than a second one takes to start and fault in its half.
constexpr int64_t kPixelsPerThread = 1 << 23;

// Closes the recording when it goes out of scope, also when a host error unwinds the call.
struct ScopedRecording {
    DcimgHandle handle;
    ~ScopedRecording() {
        if (handle != nullptr) {
            closeRecording(handle);
        }
    }
};

// Whether the locked frame holds 16-bit pixels that can be copied out.
bool isCopyable(const FrameRecord& frame) {
    if (frame.pixels == nullptr || frame.width <= 0 || frame.height <= 0) {
        return false;
    }
    if (static_cast<int64_t>(frame.rowBytes) < 2 * static_cast<int64_t>(frame.width)) {
        mexPrintf("frameFetch: frame rows of %d bytes cannot hold %d 16-bit pixels\n",
                  frame.rowBytes, frame.width);
        return false;
    }
    return true;
}

void fetchFrame(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nrhs != 2) {
        gateway::raiseError("MATLAB:WrongNumberOfInputs",
                            "Usage: [frame, frameCount] = frameFetch(frameIndex, path)\n");
    }
    if (!mxIsChar(prhs[1])) {
        gateway::raiseError("frameFetch:WrongType", "path must be a character array.\n");
    }
    const bool indexIsNumber = gateway::isRealNumeric(prhs[0]) || mxIsLogical(prhs[0]);
    if (!indexIsNumber || gateway::readShape(prhs[0]).elements != 1) {
        gateway::raiseError("frameFetch:WrongType", "frameIndex must be a real numeric scalar.\n");
    }
    const double index = mxGetScalar(prhs[0]);
    if (!std::isfinite(index)) {
        gateway::raiseError("frameFetch:WrongType", "frameIndex must be finite.\n");
    }
    if (mxGetNumberOfDimensions(prhs[1]) != 2 || mxGetM(prhs[1]) > 1) {
        gateway::raiseError("frameFetch:WrongType", "path must be a single row of characters.\n");
    }
    const int32_t frameIndex = gateway::truncateToInt32(index);
    bool holdsNul = false;
    char* path = gateway::readUtf8Text(prhs[1], &holdsNul);
    if (path == nullptr) {
        // A string cut at a NUL would name another file.
        gateway::raiseError("frameFetch:WrongType", holdsNul
                                                        ? "path must not contain a NUL character.\n"
                                                        : "path must be valid Unicode text.\n");
    }

    int32_t frameCount = 0;
    mxArray* image = nullptr;
    {
        // The frame goes straight from the library's buffer into the output: no other copy.
        const ScopedRecording recording{openRecording(path)};
        FrameRecord frame{};
        if (recording.handle != nullptr &&
            lockFrame(recording.handle, frameIndex, &frameCount, &frame) && isCopyable(frame)) {
            image = gateway::createOutputMatrix(frame.width, frame.height, mxUINT16_CLASS,
                                                gateway::Fill::kUnfilled);
            auto* pixels = static_cast<uint16_t*>(mxGetData(image));
            const int threads =
                parallel::threadsFor(int64_t{frame.width} * frame.height, kPixelsPerThread);
            if (!copyFrameRows(frame, pixels, threads)) {
                mexPrintf(
                    "frameFetch: the recording changed or could not be read while frame "
                    "%d was copied\n",
                    frameIndex);
                gateway::destroyOutput(image);
                image = nullptr;
            }
        }
    }
    mxFree(path);
    if (image == nullptr) {
        image = gateway::createOutputMatrix(0, 0, mxUINT16_CLASS, gateway::Fill::kZero);
    }
    mxArray* count = gateway::createOutputMatrix(1, 1, mxDOUBLE_CLASS, gateway::Fill::kUnfilled);
    *static_cast<double*>(mxGetData(count)) = frameCount;
    gateway::storeOutputs(nlhs, plhs, {image, count});
}

}  // namespace

extern "C" MEX_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    gateway::runGuarded([&] { fetchFrame(nlhs, plhs, nrhs, prhs); });
}
