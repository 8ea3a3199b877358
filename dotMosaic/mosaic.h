// Numeric work of dotMosaic on plain arrays: counting points into pixels and histogram
// equalisation of the counts. Nothing here touches the host.
#pragma once

#include <cstdint>

// Adds every point (x[i], y[i]), i < pointCount, to the sizeX-by-sizeY column-major count
// image. Pixel (ix, iy) takes ix <= x < ix + 1 and iy <= y < iy + 1; points outside the grid
// count in the nearest border pixel and NaN coordinates in index 0 of their axis. Counts
// saturate at 65535. sizeX and sizeY must be at least 1.
void binPoints(int32_t sizeX, int32_t sizeY, int64_t pointCount, const float* x, const float* y,
               uint16_t* counts);

// Largest count in the image; the equalisation tables need one entry more than this.
uint16_t largestCount(const uint16_t* counts, int64_t pixelCount);

// Spreads the non-empty pixels over the levels 0 to 1023 by the cumulative distribution of
// their counts. Writes each level into `equalised` (when not null) and, truncated, over the
// counts. `countHist` and `cumCount` are zero-filled tables of largest + 1 entries, where
// `largest` is largestCount of the image; their contents are scratch.
void equalizeCounts(uint16_t* counts, float* equalised, int64_t pixelCount, uint16_t largest,
                    int64_t* countHist, float* cumCount);
