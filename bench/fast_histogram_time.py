"""Median time of fast-histogram's histogram2d over points written by benchModules.m.

Usage: fast_histogram_time.py FILE COUNT SIZE. FILE holds COUNT float32 X values, then COUNT Y
values; the histogram has SIZE-by-SIZE bins over [0, SIZE). Prints the median in seconds.
"""
import statistics
import sys
import time

import numpy as np
from fast_histogram import histogram2d


def main():
    path, count, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    values = np.fromfile(path, dtype=np.float32)
    x, y = values[:count], values[count:2 * count]
    bounds = [[0, size], [0, size]]
    histogram2d(x, y, bins=[size, size], range=bounds)  # warm up
    times = []
    for _ in range(15):
        start = time.perf_counter()
        histogram2d(x, y, bins=[size, size], range=bounds)
        times.append(time.perf_counter() - start)
    print(statistics.median(times))


if __name__ == "__main__":
    main()
