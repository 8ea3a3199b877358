// [frame, frameCount] = frameFetch(frameIndex, path): reads one frame of a camera recording
// through the recording library and returns it as a width-by-height uint16 matrix, with the
// number of frames in the recording. Library failures print a line and give an empty frame.
#include <cmath>
#include <cstring>

#include "gateway.h"
#include "recording.h"

namespace {

// Closes the recording when it goes out of scope, also when a host error unwinds the call.
struct ScopedRecording {
    DcimgHandle handle;
    ~ScopedRecording() {
        if (handle != nullptr) {
            closeRecording(handle);
        }
    }
};

// Copies the locked frame into host memory, or returns null (and leaves the sizes at 0) when
// it holds no 16-bit pixels.
uint16_t* copyLockedFrame(const FrameRecord& frame, int32_t* width, int32_t* height) {
    if (frame.pixels == nullptr || frame.width <= 0 || frame.height <= 0) {
        return nullptr;
    }
    if (static_cast<int64_t>(frame.rowBytes) < 2 * static_cast<int64_t>(frame.width)) {
        mexPrintf("frameFetch: frame rows of %d bytes cannot hold %d 16-bit pixels\n",
                  frame.rowBytes, frame.width);
        return nullptr;
    }
    const size_t count = static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height);
    auto* pixels = static_cast<uint16_t*>(mxCalloc(count, sizeof(uint16_t)));
    copyFrameRows(frame.pixels, frame.rowBytes, frame.width, frame.height, pixels);
    *width = frame.width;
    *height = frame.height;
    return pixels;
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
    char* path = mxArrayToString(prhs[1]);
    // The host's copy ends at the first NUL: a shorter string would name another file.
    if (path == nullptr || std::strlen(path) < mxGetNumberOfElements(prhs[1])) {
        mxFree(path);
        gateway::raiseError("frameFetch:WrongType", "path must not contain a NUL character.\n");
    }

    int32_t frameCount = 0;
    int32_t width = 0;
    int32_t height = 0;
    uint16_t* pixels = nullptr;
    {
        const ScopedRecording recording{openRecording(path)};
        FrameRecord frame{};
        if (recording.handle != nullptr &&
            lockFrame(recording.handle, frameIndex, &frameCount, &frame)) {
            pixels = copyLockedFrame(frame, &width, &height);
        }
    }
    mxFree(path);

    mxArray* image = pixels != nullptr
                         ? gateway::createMatrixOwning(pixels, width, height, mxUINT16_CLASS)
                         : gateway::createZeroMatrix(0, 0, mxUINT16_CLASS);
    mxArray* count = gateway::createZeroMatrix(1, 1, mxDOUBLE_CLASS);
    *static_cast<double*>(mxGetData(count)) = frameCount;
    gateway::storeOutput(nlhs, plhs, 0, image);
    gateway::storeOutput(nlhs, plhs, 1, count);
}

}  // namespace

extern "C" MEX_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    gateway::runGuarded([&] { fetchFrame(nlhs, plhs, nrhs, prhs); });
}
