// Tests of the lens distortion model: both least-squares fits and the point undistortion.
#include <kor/lens.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

namespace {

using Kor::ImageHeightCharacteristics;
using Kor::ThirdOrderRadialParams;

constexpr std::array<double, 5> kHeights = {5.0, 10.0, 15.0, 18.0, 21.4};
constexpr double kInf = std::numeric_limits<double>::infinity();

ThirdOrderRadialParams approx_fit(const ImageHeightCharacteristics& c, double radius) {
    ThirdOrderRadialParams out{-7.0, -7.0, -7.0};
    Kor::image_height_aberration_third_order_approx(c, radius, out);
    return out;
}

ThirdOrderRadialParams qr_fit(const ImageHeightCharacteristics& c, double radius,
                              double extraHeight = 0.0) {
    ThirdOrderRadialParams out{-7.0, -7.0, -7.0};
    Kor::lens_image_height_coeffs(c, radius, extraHeight, out);
    return out;
}

double model(const ThirdOrderRadialParams& p, double r) {
    const double d = r * r;
    return p.k1 * d + p.k2 * d * d + p.k3 * d * d * d;
}

// Expects the two fits to describe the same curve over the measured range, relative to the
// largest deviation at the five heights.
void expect_same_curve(const ThirdOrderRadialParams& got, const ThirdOrderRadialParams& want,
                       double radius, double tolerance) {
    double scale = 0.0;
    for (double h : kHeights) scale = std::max(scale, std::fabs(model(want, h / radius)));
    for (int step = 0; step <= 214; ++step) {
        const double r = 0.1 * step / radius;
        EXPECT_NEAR(model(got, r), model(want, r), tolerance * scale) << "h " << 0.1 * step;
    }
}

const std::array<ImageHeightCharacteristics, 4> kRealistic = {{
    {0.0f, -0.12f, -0.45f, -0.98f, -1.31f, -1.72f},  // barrel
    {0.0f, 0.08f, 0.35f, 0.81f, 1.12f, 1.55f},       // pincushion
    {0.0f, -0.3f, -0.7f, -0.6f, -0.1f, 0.9f},        // moustache
    {0.0f, 1.5f, 0.2f, -2.4f, 3.1f, -0.7f},          // rough measurement
}};
const std::array<double, 4> kRadii = {1.0, 12.5, 21.4, 43.3};

TEST(LensFit, QrAgreesWithApproximateFit) {
    for (const auto& c : kRealistic) {
        for (double radius : kRadii) {
            SCOPED_TRACE(radius);
            // The approximate fit rounds its weights to eight decimals and its percentages to
            // single precision.
            expect_same_curve(approx_fit(c, radius), qr_fit(c, radius), radius, 1e-7);
        }
    }
}

// Percentages measured on a lens that follows the model exactly give the model back.
TEST(LensFit, QrRecoversExactModel) {
    const std::array<ThirdOrderRadialParams, 3> models = {{
        {-0.05, 0.01, -0.002},
        {0.02, -0.004, 0.0005},
        {-0.3, 0.0, 0.0},
    }};
    for (const auto& p : models) {
        for (double radius : kRadii) {
            SCOPED_TRACE(radius);
            std::array<float, 5> v{};
            for (std::size_t i = 0; i < v.size(); ++i) {
                v[i] = static_cast<float>(100.0 * model(p, kHeights[i] / radius));
            }
            // The percentages are stored in single precision. The curve fixes the
            // coefficients, as r^2, r^4 and r^6 are independent over the measured range.
            expect_same_curve(qr_fit({0.0f, v[0], v[1], v[2], v[3], v[4]}, radius), p, radius,
                              1e-6);
        }
    }
}

TEST(LensFit, NonPositiveOrTinyRadiusGivesZeros) {
    const auto zero = [](const ThirdOrderRadialParams& p) {
        return p.k1 == 0.0 && p.k2 == 0.0 && p.k3 == 0.0;
    };
    const ImageHeightCharacteristics& c = kRealistic[0];
    for (double radius : {0.001, 0.0, -0.0, -21.4, -kInf}) {
        EXPECT_TRUE(zero(approx_fit(c, radius))) << radius;
        EXPECT_EQ(zero(qr_fit(c, radius, 10.0)), radius <= 0.0) << radius;
    }
    EXPECT_FALSE(zero(approx_fit(c, 0.0011)));
}

// Any sample that is not finite leaves the fit without an answer: every coefficient is
// non-finite, never a finite set that looks like a fit.
TEST(LensFit, NonFiniteSampleGivesNonFiniteCoefficients) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const auto nonFinite = [](const ThirdOrderRadialParams& p) {
        return !std::isfinite(p.k1) && !std::isfinite(p.k2) && !std::isfinite(p.k3);
    };
    const ImageHeightCharacteristics& c = kRealistic[0];
    for (double extra : {nan, kInf, -kInf}) {
        EXPECT_TRUE(nonFinite(qr_fit(c, 21.4, extra))) << "extra height " << extra;
    }
    EXPECT_TRUE(nonFinite(qr_fit(c, nan, 0.0))) << "radius NaN";
    EXPECT_TRUE(nonFinite(qr_fit(c, 1e-300, 0.0))) << "powers overflow";
    for (float bad : {static_cast<float>(nan), static_cast<float>(kInf)}) {
        ImageHeightCharacteristics sample = c;
        sample.value_15 = bad;
        EXPECT_TRUE(nonFinite(qr_fit(sample, 21.4, 0.0))) << "percentage " << bad;
    }
}

// With the sixth sample (deviation 1 at the extra height) the fit is still the least-squares
// solution: its residuals at all six samples are orthogonal to each column r^2, r^4, r^6. (Left
// out, the sixth sample would leave a residual of about 1 that no column is orthogonal to.)
TEST(LensFit, ExtraSampleEntersTheFit) {
    for (const auto& c : kRealistic) {
        for (double extra : {2.0, 12.0, 21.4, -16.0}) {
            SCOPED_TRACE(extra);
            const ThirdOrderRadialParams fit = qr_fit(c, 21.4, extra);
            const std::array<double, 6> heights = {5.0, 10.0, 15.0, 18.0, 21.4, extra};
            const std::array<float, 6> percent = {c.value_5,  c.value_10,   c.value_15,
                                                  c.value_18, c.value_21_4, 100.0f};
            for (int power = 2; power <= 6; power += 2) {
                double dot = 0.0;
                for (std::size_t i = 0; i < heights.size(); ++i) {
                    const double r = heights[i] / 21.4;
                    dot += std::pow(r, power) * (model(fit, r) - percent[i] / 100.0);
                }
                EXPECT_NEAR(dot, 0.0, 1e-12) << "r^" << power;
            }
        }
    }
}

TEST(LensUndistort, ZeroCoefficientsPassRadiiFromThreshold) {
    ThirdOrderRadialParams zero{0.0, 0.0, 0.0};
    for (double rho : {0.0001, 0.5, 123.456, 1e50}) EXPECT_EQ(Kor::undistort_point(rho, zero), rho);
    for (double rho : {0.0000999999, 0.0, -0.0, -1.0, -kInf, std::nan("")}) {
        const double result = Kor::undistort_point(rho, zero);
        EXPECT_EQ(result, 0.0) << rho;
        EXPECT_FALSE(std::signbit(result)) << rho;
    }
}

TEST(LensUndistort, ReturnsTheTenthIterate) {
    ThirdOrderRadialParams p{0.1, 0.0, 0.0};
    EXPECT_NEAR(Kor::undistort_point(1.0, p), 0.92169899, 5e-9);
    // With D = -r^2/3 + 4r^4/3 the iteration from 1 cycles: D(1) = 1 leads to 0.5, and
    // D(0.5) = 0 leads back to 1. An even number of steps ends at 1, an odd one at 0.5.
    ThirdOrderRadialParams cycle{-1.0 / 3.0, 4.0 / 3.0, 0.0};
    EXPECT_NEAR(Kor::undistort_point(1.0, cycle), 1.0, 1e-12);
    // Below the threshold the coefficients do not matter.
    EXPECT_EQ(Kor::undistort_point(0.00009, p), 0.0);
}

TEST(LensUndistort, InvertsMildDistortion) {
    const std::array<ThirdOrderRadialParams, 3> models = {{
        {-0.02, 0.005, -0.001},
        {0.03, -0.002, 0.0},
        {-0.05, 0.0, 0.0},
    }};
    for (auto p : models) {
        for (double r : {0.0002, 0.1, 0.5, 1.0, 1.3}) {
            const double rho = r * (1.0 + model(p, r));
            EXPECT_NEAR(Kor::undistort_point(rho, p), r, 2e-8 * r) << r;
        }
    }
}

}  // namespace
