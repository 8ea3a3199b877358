// Symmetric positive definite systems of the fits: the information matrices, over all their
// parameters or a chosen few. Host-free.
#pragma once

#include <cmath>

// A matrix whose reciprocal condition number (in the 1-norm) is below this is taken as
// singular.
constexpr double kLeastReciprocalCondition = 1e-12;

// The Cholesky factor L L' of a matrix over the parameters `index` lists.
template <int M>
struct Factor {
    int n;
    int index[M];
    double lower[M][M];
};

// Factors `a` over the n parameters in `index`; false when that part of `a` is not positive
// definite. A NaN or infinity fails a pivot.
template <int M>
bool factorOn(const double (&a)[M][M], const int* index, int n, Factor<M>* f) {
    f->n = n;
    double(&l)[M][M] = f->lower;
    for (int k = 0; k < n; ++k) {
        f->index[k] = index[k];
        for (int m = k; m < n; ++m) {
            l[m][k] = a[index[m]][index[k]];
        }
    }
    for (int k = 0; k < n; ++k) {
        double pivot = l[k][k];
        for (int m = 0; m < k; ++m) {
            pivot -= l[k][m] * l[k][m];
        }
        if (!(pivot > 0.0) || pivot == HUGE_VAL) {
            return false;
        }
        l[k][k] = std::sqrt(pivot);
        const double reciprocal = 1.0 / l[k][k];
        for (int r = k + 1; r < n; ++r) {
            double sum = l[r][k];
            for (int m = 0; m < k; ++m) {
                sum -= l[r][m] * l[k][m];
            }
            l[r][k] = sum * reciprocal;
        }
    }
    return true;
}

// Solves L L' y = b in place, over the factor's own numbering.
template <int M>
void solveFactored(const Factor<M>& f, double* b) {
    for (int k = 0; k < f.n; ++k) {
        for (int m = 0; m < k; ++m) {
            b[k] -= f.lower[k][m] * b[m];
        }
        b[k] /= f.lower[k][k];
    }
    for (int k = f.n - 1; k >= 0; --k) {
        for (int m = k + 1; m < f.n; ++m) {
            b[k] -= f.lower[m][k] * b[m];
        }
        b[k] /= f.lower[k][k];
    }
}

// step = A^-1 gradient over the factor's parameters, 0 for the others (of `params`).
template <int M>
void stepWith(const Factor<M>& f, const double* gradient, int params, double* step) {
    double b[M];
    for (int k = 0; k < f.n; ++k) {
        b[k] = gradient[f.index[k]];
    }
    solveFactored(f, b);
    for (int k = 0; k < params; ++k) {
        step[k] = 0.0;
    }
    for (int k = 0; k < f.n; ++k) {
        step[f.index[k]] = b[k];
    }
}

// The diagonal of A^-1 (the squared Cramer-Rao bounds when A is the Fisher information) over
// the factor's parameters, in its numbering; false when A is singular by
// kLeastReciprocalCondition there.
template <int M>
bool inverseDiagonal(const double (&a)[M][M], const Factor<M>& f, double* diagonal) {
    double norm = 0.0;
    double inverseNorm = 0.0;
    for (int k = 0; k < f.n; ++k) {
        double column[M] = {};
        column[k] = 1.0;
        solveFactored(f, column);
        double sum = 0.0;
        double inverseSum = 0.0;
        for (int l = 0; l < f.n; ++l) {
            sum += std::fabs(a[f.index[l]][f.index[k]]);
            inverseSum += std::fabs(column[l]);
        }
        norm = std::fmax(norm, sum);
        inverseNorm = std::fmax(inverseNorm, inverseSum);
        diagonal[k] = column[k];
    }
    return norm * inverseNorm * kLeastReciprocalCondition <= 1.0;
}
