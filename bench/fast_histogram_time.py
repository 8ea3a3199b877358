"""Times fast-histogram's histogram2d on the points benchPoints.m wrote.

Usage: fast_histogram_time.py FOLDER. For each of FOLDER/uniform.f32 and clustered.f32 (1e7
float32 X values, then as many Y values) prints the name and the median time in seconds of a
1024-by-1024 histogram over [0, 1024), one line each.
"""
import os
import statistics
import sys
import time

import numpy as np
from fast_histogram import histogram2d

SIZE = 1024


def median_time(path):
    values = np.fromfile(path, dtype=np.float32)
    count = values.size // 2
    x, y = values[:count], values[count:]
    bounds = [[0, SIZE], [0, SIZE]]
    histogram2d(x, y, bins=[SIZE, SIZE], range=bounds)  # warm up
    times = []
    for _ in range(15):
        start = time.perf_counter()
        histogram2d(x, y, bins=[SIZE, SIZE], range=bounds)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    for name in ("uniform", "clustered"):
        print(name, median_time(os.path.join(sys.argv[1], name + ".f32")))


if __name__ == "__main__":
    main()
