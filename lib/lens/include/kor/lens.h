// Lens distortion model: a third-order radial fit of image-height aberration and its inverse.
#pragma once

#include <kor/export.h>

namespace Kor {

// Measured deviation of the image height, in percent (1.5 means 1.5 %), at the fixed image
// heights 5, 10, 15, 18 and 21.4 (in the unit of the normalisation radius).
struct ImageHeightCharacteristics {
    float value_0;  // not read by any function (the model deviates by 0 at height 0)
    float value_5;
    float value_10;
    float value_15;
    float value_18;
    float value_21_4;
};

// D(r) = k1 r^2 + k2 r^4 + k3 r^6 for the normalised radius r = h / R; a point at
// undistorted radius r is imaged at r (1 + D(r)).
struct ThirdOrderRadialParams {
    double k1;
    double k2;
    double k3;
};

// Least-squares fit of D to the five samples (h / R, percentage / 100), evaluated with
// precomputed factors: straight-line arithmetic, no loops, no calls, no allocation. The
// percentages are divided by 100 in single precision. The result agrees with
// lens_image_height_coeffs (extra height 0) to about eight significant digits.
// R <= 0.001 gives all-zero coefficients; a not-a-number R or non-finite percentages give
// non-finite coefficients.
KOR_API void image_height_aberration_third_order_approx(const ImageHeightCharacteristics& c,
                                                        double normalisationRadius,
                                                        ThirdOrderRadialParams& out);

// The same least-squares fit by a Householder QR factorisation of the 6x3 matrix with rows
// (r^2, r^4, r^6): the five regular samples plus a sixth sample of target 1 (a fractional
// deviation of 1, i.e. 100 %) at height `extraSampleHeight`; a height of 0 gives a zero row,
// which adds nothing. Uses no heap memory. R <= 0 gives all-zero coefficients. A
// degenerate matrix (a zero column, as when the powers of h / R underflow for an enormous R)
// divides by zero in the back-substitution and gives infinite or not-a-number coefficients.
// A sample that is not finite (a not-a-number R, extra height or percentage, an infinite
// one, or powers that overflow for a tiny R) gives not-a-number coefficients.
KOR_API void lens_image_height_coeffs(const ImageHeightCharacteristics& c,
                                      double normalisationRadius, double extraSampleHeight,
                                      ThirdOrderRadialParams& out);

// The undistorted radius of a distorted radius rho: ten fixed-point iterations
// r <- rho / (1 + D(r)) from r = rho, without a convergence test. Radii below 0.0001
// (negative ones included) and a not-a-number give 0. The parameters are only read. From
// about 2e51 up, r^6 overflows and the result is meaningless (not a number, for instance).
KOR_API double undistort_point(double distortedRadius, ThirdOrderRadialParams& params);

}  // namespace Kor
