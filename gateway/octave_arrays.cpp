// Built only against Octave, whose internal array types are compiled in: Octave's mex.h
// declares mxArray as void, so this file sees the host's own class instead.
#include "octave_arrays.h"

#include "mxarray.h"
#include "oct.h"
#include "ov-base-mat.h"

namespace {

// Whether the matrix in `value` is of type Matrix and holds its elements alone.
template <class Matrix>
bool holdsElementsAlone(const octave_base_value& value) {
    const auto* matrix = dynamic_cast<const octave_base_matrix<Matrix>*>(&value);
    return matrix != nullptr && !const_cast<Matrix&>(matrix->matrix_ref()).is_shared();
}

}  // namespace

bool octaveArrayIsUnshared(const void* array) {
    const octave_value value = mxArray::as_octave_value(static_cast<const mxArray*>(array));
    // Two holders: the array handed over, and `value` here. A third is a variable of the
    // user's (a global, a persistent) holding the very same value.
    if (value.get_count() != 2) {
        return false;
    }
    const octave_base_value& held = value.get_rep();
    return holdsElementsAlone<uint16NDArray>(held) || holdsElementsAlone<FloatNDArray>(held) ||
           holdsElementsAlone<NDArray>(held);
}
