// Models and residuals of the iterative fits, for callers that drive the dlib
// solvers themselves. The fits and the matrix inverses are declared in nk_math.h.
#pragma once

#include <utility>

#include <dlib/matrix.h>

typedef std::pair<double, double> t_nkFitSample;  // (x, y)

// p0 / (x + p1) + p2
double reverse_model(double x, const dlib::matrix<double, 3, 1>& p);
double residual(const t_nkFitSample& xy, const dlib::matrix<double, 3, 1>& p);
// p0 x^3 + p1 x^2 + p2 x + p3
double polynomial_model(double x, const dlib::matrix<double, 4, 1>& p);
double polynomial_residual(const t_nkFitSample& xy, const dlib::matrix<double, 4, 1>& p);
// p0 x (p holds one value)
double rto_model(double x, const dlib::matrix<double, 0, 1>& p);
double rto_residual(const t_nkFitSample& xy, const dlib::matrix<double, 0, 1>& p);
// p2 exp(-((x - p0) / p1)^2)
double gaussian_model(double x, const dlib::matrix<double, 3, 1>& p);
double gaussian_residual(const t_nkFitSample& xy, const dlib::matrix<double, 3, 1>& p);
