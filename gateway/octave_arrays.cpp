// Built only against Octave, whose internal array types are compiled in: Octave's mex.h
// declares mxArray as void, so this file sees the host's own class instead.
#include "octave_arrays.h"

#include "mxarray.h"
#include "oct.h"
// After mxarray.h, so that the interface functions take the class itself.
#include "mexproto.h"

namespace {

// Octave's arrays value-initialise their elements: every new array starts at zero.
octave_value newValue(const dim_vector& lengths, int classId) {
    switch (classId) {
        case mxUINT16_CLASS:
            return octave_value(uint16NDArray(lengths));
        case mxSINGLE_CLASS:
            return octave_value(FloatNDArray(lengths));
        default:
            return octave_value(NDArray(lengths));
    }
}

}  // namespace

void* octaveNewArray(int count, const int32_t* dims, int classId) {
    dim_vector lengths;
    lengths.resize(count < 2 ? 2 : count, 1);
    for (int k = 0; k < count; ++k) {
        lengths(k) = dims[k];
    }
    // The elements first: memory for them that cannot be had throws std::bad_alloc.
    const octave_value value = newValue(lengths, classId);
    // An mxArray around an octave_value is what mexCallMATLAB hands out; Octave takes its
    // value back without a copy.
    mxArray* array = nullptr;
    try {
        array = new mxArray(MX_HAS_INTERLEAVED_COMPLEX != 0, value);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    // The interface offers no way to tie an array made here to the call, so a cell of the
    // call's own holds it: Octave deletes the cell, and the array with it, when the call ends,
    // after it has taken the outputs' values.
    mxArray* owner = mxCreateCellMatrix(1, 1);
    mxSetCell(owner, 0, array);
    return array;
}
