// What only Octave's own headers can do for a module.
#pragma once

#include <cstdint>

// A new real array of `count` dimensions (`classId` one of mxDOUBLE_CLASS, mxSINGLE_CLASS,
// mxUINT16_CLASS), made as Octave's built-in zeros makes its arrays, without calling any
// function a user could shadow. Octave hands such an array back to the caller as it is, where
// it would copy one made with mxCreate* into a new one. Its elements start at zero (Octave's
// arrays value-initialise them). The array belongs to the call: Octave releases it when the call
// returns, so it must not be destroyed (mxDestroyArray) by the module. Throws std::bad_alloc
// when the memory for its elements cannot be had; null when only the small record around them
// could not be.
void* octaveNewArray(int count, const int32_t* dims, int classId);
