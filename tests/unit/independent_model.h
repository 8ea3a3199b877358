// Spot models written out again, independently of the modules: the likelihood of a box and the
// Cramer-Rao bounds from its Fisher information by central differences, for any model of a
// box's expected photons.
#pragma once

#include <cmath>
#include <functional>
#include <vector>

namespace independent {

// Expected photons of pixel `pixel` (i + g j) at parameters theta.
using PixelModel = std::function<double(const std::vector<double>& theta, int pixel)>;

// Share of a Gaussian of standard deviation sigma, centred at c, that falls on pixel p.
inline double share(int p, double c, double sigma) {
    const double s = std::sqrt(2.0) * sigma;
    return 0.5 * (std::erf((p + 0.5 - c) / s) - std::erf((p - 0.5 - c) / s));
}

// With a read variance r per pixel (none when empty), d + r is Poisson of mean mu + r, values
// below 0 counting as 0; a pixel of infinite r is not there.
inline double logLikelihood(const std::vector<double>& box, const PixelModel& model,
                            const std::vector<double>& theta,
                            const std::vector<double>& read = {}) {
    double sum = 0.0;
    for (int p = 0; p < static_cast<int>(box.size()); ++p) {
        const double r = read.empty() ? 0.0 : read[p];
        if (std::isinf(r)) {
            continue;
        }
        const double mu = model(theta, p) + r;
        sum += std::fmax(box[p] + r, 0.0) * std::log(mu) - mu;
    }
    return sum;
}

// Bounds on the first `params` parameters, the Fisher information inverted by Gauss-Jordan
// elimination.
inline std::vector<double> bounds(const PixelModel& model, const std::vector<double>& theta,
                                  int pixels, int params, const std::vector<double>& read = {}) {
    std::vector<std::vector<double>> jacobian(pixels, std::vector<double>(params));
    for (int k = 0; k < params; ++k) {
        const double h = 1e-5 * std::fmax(1.0, std::fabs(theta[k]));
        auto up = theta;
        auto down = theta;
        up[k] += h;
        down[k] -= h;
        for (int p = 0; p < pixels; ++p) {
            jacobian[p][k] = (model(up, p) - model(down, p)) / (2.0 * h);
        }
    }
    std::vector<std::vector<double>> a(params, std::vector<double>(2 * params, 0.0));
    for (int k = 0; k < params; ++k) {
        a[k][params + k] = 1.0;
        for (int l = 0; l < params; ++l) {
            for (int p = 0; p < pixels; ++p) {
                const double r = read.empty() ? 0.0 : read[p];
                a[k][l] += jacobian[p][k] * jacobian[p][l] / (model(theta, p) + r);
            }
        }
    }
    for (int k = 0; k < params; ++k) {
        const double pivot = a[k][k];
        for (double& value : a[k]) {
            value /= pivot;
        }
        for (int r = 0; r < params; ++r) {
            if (r != k) {
                const double factor = a[r][k];
                for (int c = 0; c < 2 * params; ++c) {
                    a[r][c] -= factor * a[k][c];
                }
            }
        }
    }
    std::vector<double> result(params);
    for (int k = 0; k < params; ++k) {
        result[k] = std::sqrt(a[k][params + k]);
    }
    return result;
}

}  // namespace independent
