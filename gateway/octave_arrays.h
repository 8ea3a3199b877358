// What only Octave's own headers can tell about an array it handed to a module.
#pragma once

// Whether `array` (an mxArray* of Octave's) shares its elements with nothing else: not with a
// variable, a persistent, or another array it was sliced or reshaped from. Only such an array
// may be written into.
bool octaveArrayIsUnshared(const void* array);
