// Numeric work of dotMosaic on plain arrays: counting points into pixels and histogram
// equalisation of the counts. Nothing here touches the host. `threads` is how many threads a
// kernel may use (1: the calling thread alone); the results do not depend on it.
#pragma once

#include <cstddef>
#include <cstdint>

// How many pixels of a count image hold each count: entry c for count c, from 1 to 65535.
// Entry 0 is not kept. Equalisation needs nothing else of the image.
constexpr size_t kCountHistogramLength = 65536;

// Adds every point (x[i], y[i]), i < pointCount, to the sizeX-by-sizeY column-major count
// image. Pixel (ix, iy) takes ix <= x < ix + 1 and iy <= y < iy + 1; points outside the grid
// count in the nearest border pixel and NaN coordinates in index 0 of their axis. Counts
// saturate at 65535. sizeX and sizeY must be at least 1. With `histogram` (all zero, for an
// image that starts all zero), it also tallies the final counts there, on the way: a pass over
// the image spared.
void binPoints(int32_t sizeX, int32_t sizeY, int64_t pointCount, const float* x, const float* y,
               uint16_t* counts, int threads = 1, int64_t* histogram = nullptr);

// How many count images binPoints counts into: one per thread when the image is small beside
// the points (each thread counts a share into an image of its own, and the images are summed
// after), otherwise 1.
int countImagesFor(int64_t pixelCount, int64_t pointCount, int threads);

// Adds each of the `imageCount` images that follow one another in `images`, `pixelCount`
// pixels each, into `total`, saturating at 65535: the sum of images saturated each on its own
// is then exactly the saturated count of all their points. On `threads` threads. With
// `histogram` (all zero), it also tallies the merged counts there.
void mergeCountImages(uint16_t* total, const uint16_t* images, int imageCount, int64_t pixelCount,
                      int threads = 1, int64_t* histogram = nullptr);

// Spreads the non-empty pixels over the levels 0 to 1023 by the cumulative distribution of
// their counts: level = ((number of non-empty pixels with a count at most c) - 1) * 1023 /
// (non-empty pixels - 1), in single precision, and exactly 1023 for the largest count. Writes
// each non-empty pixel's level into `equalised` (when not null; its empty pixels are left as
// they are) and, truncated, over the counts. With the counts' `histogram` (as binPoints
// tallies it) the image is passed over once instead of twice. Throws std::bad_alloc when its
// tables cannot be had, before anything is changed.
void equalizeCounts(uint16_t* counts, float* equalised, int64_t pixelCount, int threads = 1,
                    const int64_t* histogram = nullptr);
