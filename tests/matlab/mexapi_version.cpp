// What MATLAB's mex adds to every module, in our own words: the function MATLAB asks which
// release and array interface a module was built for. Its linkage gives it no visibility of
// its own, so a build that hides symbols by default hides it, and MATLAB would not load the
// module. Interfaces: 700 is the 32-bit one, 730 R2017b's, 800 R2018a's.
#include "mex.h"

extern "C" void mexfilerequiredapiversion(unsigned int* builtByRelease,
                                          unsigned int* targetApiVersion) {
    *builtByRelease = 2022;
#if defined(MX_COMPAT_32)
    *targetApiVersion = 700;
#elif defined(MX_HAS_INTERLEAVED_COMPLEX) && MX_HAS_INTERLEAVED_COMPLEX
    *targetApiVersion = 800;
#else
    *targetApiVersion = 730;
#endif
}
