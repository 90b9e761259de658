// Lens distortion model: a third-order radial fit of image-height aberration and its inverse.
#pragma once

#include <kor/export.h>

namespace Kor {

// Measured deviation of the image height, in percent (1.5 means 1.5 %), at the fixed image
// heights 5, 10, 15, 18 and 21.4 (in the unit of the normalisation radius).
struct ImageHeightCharacteristics {
    float value_0;  // not read by any function
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

// Least-squares fit at the five heights with precomputed factors (no loops, no calls).
// R <= 0.001 gives all-zero coefficients.
KOR_API void image_height_aberration_third_order_approx(const ImageHeightCharacteristics& c,
                                                        double normalisationRadius,
                                                        ThirdOrderRadialParams& out);

// The same fit by Householder QR, with a sixth sample of deviation 1 at height
// `extraSampleHeight` (0 adds nothing). R <= 0 gives all-zero coefficients.
KOR_API void lens_image_height_coeffs(const ImageHeightCharacteristics& c,
                                      double normalisationRadius, double extraSampleHeight,
                                      ThirdOrderRadialParams& out);

// The undistorted radius of a distorted radius, by ten fixed-point iterations; radii
// below 0.0001 (negative ones and NaN included) give 0.
KOR_API double undistort_point(double distortedRadius, ThirdOrderRadialParams& params);

}  // namespace Kor
