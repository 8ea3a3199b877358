// Host interface of the stand-in host: the public names and types the modules compile against
// when they run in unit tests instead of inside MATLAB or Octave. Dimensions are 64-bit like
// Octave's; the 32-bit "_700" forms are provided as well.
//
// Included with STANDIN_PLAYS_MATLAB defined (as the MATLAB root of the MATLAB-route tests
// does), it keeps the rules MATLAB's documentation gives for its own mex.h: a release option
// of the mex command (MATLAB_MEXCMD_RELEASE) or of the source (MATLAB_MEXSRC_RELEASE) refuses
// MX_COMPAT_32; MX_COMPAT_32 makes mwSize an int and the dimension functions their "_700"
// forms, which take no array of 2^31 elements or more; printf is a macro for mexPrintf.
#ifndef STANDIN_MEX_H
#define STANDIN_MEX_H

#if defined(STANDIN_PLAYS_MATLAB) && defined(MX_COMPAT_32) && \
    (defined(MATLAB_MEXCMD_RELEASE) || defined(MATLAB_MEXSRC_RELEASE))
#error "MEX command option -R20XXx is incompatible with MX_COMPAT_32"
#endif

#if !defined(STANDIN_PLAYS_MATLAB)
// Lets the gateway know it runs in the stand-in host, which can play either real host.
#define STANDIN_HOST 1
#endif

#include <stddef.h>
#include <stdio.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mxArray_tag mxArray;
#if defined(MX_COMPAT_32)
typedef int mwSize;
typedef int mwIndex;
#else
typedef size_t mwSize;
typedef size_t mwIndex;
#endif
typedef unsigned short mxChar;
typedef bool mxLogical;

typedef enum {
    mxUNKNOWN_CLASS = 0,
    mxCELL_CLASS,
    mxSTRUCT_CLASS,
    mxLOGICAL_CLASS,
    mxCHAR_CLASS,
    mxVOID_CLASS,
    mxDOUBLE_CLASS,
    mxSINGLE_CLASS,
    mxINT8_CLASS,
    mxUINT8_CLASS,
    mxINT16_CLASS,
    mxUINT16_CLASS,
    mxINT32_CLASS,
    mxUINT32_CLASS,
    mxINT64_CLASS,
    mxUINT64_CLASS,
    mxFUNCTION_CLASS
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX = 1 } mxComplexity;

#if defined(__GNUC__)
#define STANDIN_NORETURN __attribute__((noreturn))
#define STANDIN_PRINTF(f, a) __attribute__((format(__printf__, f, a)))
#else
#define STANDIN_NORETURN
#define STANDIN_PRINTF(f, a)
#endif

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

const char* mexFunctionName(void);
void mexErrMsgTxt(const char* message) STANDIN_NORETURN;
void mexErrMsgIdAndTxt(const char* identifier, const char* format, ...) STANDIN_NORETURN
    STANDIN_PRINTF(2, 3);
int mexPrintf(const char* format, ...) STANDIN_PRINTF(1, 2);
// Knows zeros(dims, className) and builtin('zeros', dims, className) as Octave runs them, and
// the functions of the user's that tests put on the path in their place.
int mexCallMATLAB(int nlhs, mxArray* plhs[], int nrhs, mxArray* prhs[], const char* name);
// With a nonzero flag, a failed mexCallMATLAB returns 1 instead of ending the call.
void mexSetTrapFlag(int flag);

// Whether `array` shares its elements with no other array, as Octave's reference counts tell.
int standinArrayIsUnshared(const mxArray* array);

void* mxCalloc(size_t count, size_t size);
void mxFree(void* block);

mxArray* mxCreateNumericArray(size_t ndims, const size_t* dims, mxClassID classId,
                              mxComplexity complexity);
mxArray* mxCreateNumericMatrix(size_t m, size_t n, mxClassID classId, mxComplexity complexity);
// Storage is poisoned; a call whose output still holds poison is reported.
mxArray* mxCreateUninitNumericArray(size_t ndims, const size_t* dims, mxClassID classId,
                                    mxComplexity complexity);
mxArray* mxCreateString(const char* text);
mxArray* mxCreateNumericArray_700(int ndims, const int* dims, mxClassID classId,
                                  mxComplexity complexity);
mxArray* mxCreateNumericMatrix_700(int m, int n, mxClassID classId, mxComplexity complexity);
void mxDestroyArray(mxArray* array);

mxClassID mxGetClassID(const mxArray* array);
bool mxIsNumeric(const mxArray* array);
bool mxIsComplex(const mxArray* array);
bool mxIsSparse(const mxArray* array);
bool mxIsChar(const mxArray* array);
bool mxIsStruct(const mxArray* array);
// Field `name` of element `index` of a struct array; null when it has none (only 1-by-1
// structs are made here).
mxArray* mxGetField(const mxArray* array, mwIndex index, const char* name);
bool mxIsLogical(const mxArray* array);

size_t mxGetNumberOfDimensions(const mxArray* array);
const size_t* mxGetDimensions(const mxArray* array);
int mxGetNumberOfDimensions_700(const mxArray* array);
const int* mxGetDimensions_700(const mxArray* array);
size_t mxGetNumberOfElements(const mxArray* array);
size_t mxGetM(const mxArray* array);
size_t mxGetN(const mxArray* array);
void mxSetM(mxArray* array, size_t m);
void mxSetN(mxArray* array, size_t n);
void mxSetM_700(mxArray* array, int m);
void mxSetN_700(mxArray* array, int n);

double mxGetScalar(const mxArray* array);
void* mxGetData(const mxArray* array);
void mxSetData(mxArray* array, void* data);
char* mxArrayToString(const mxArray* array);
// MATLAB's characters are UTF-16 code units: this encodes them as UTF-8. Null for a lone
// surrogate.
char* mxArrayToUTF8String(const mxArray* array);

#ifdef __cplusplus
}
#endif

#if defined(MX_COMPAT_32)
#define mxCreateNumericArray mxCreateNumericArray_700
#define mxCreateNumericMatrix mxCreateNumericMatrix_700
#define mxGetNumberOfDimensions mxGetNumberOfDimensions_700
#define mxGetDimensions mxGetDimensions_700
#define mxSetM mxSetM_700
#define mxSetN mxSetN_700
#endif

#if defined(STANDIN_PLAYS_MATLAB)
#define printf mexPrintf
#endif

#endif
