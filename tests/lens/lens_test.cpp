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
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
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

// Percentages measured on a lens that follows the model exactly.
ImageHeightCharacteristics from_model(const ThirdOrderRadialParams& p, double radius) {
    std::array<float, 5> v{};
    for (std::size_t i = 0; i < v.size(); ++i) {
        v[i] = static_cast<float>(100.0 * model(p, kHeights[i] / radius));
    }
    return {0.0f, v[0], v[1], v[2], v[3], v[4]};
}

// Expects the two fits to describe the same curve over the measured range, relative to the
// largest deviation at the five heights.
void expect_same_curve(const ThirdOrderRadialParams& got, const ThirdOrderRadialParams& want,
                       double radius, double tolerance) {
    double scale = 0.0;
    for (double h : kHeights) {
        scale = std::max(scale, std::fabs(model(want, h / radius)));
    }
    for (int step = 0; step <= 214; ++step) {
        const double r = 0.1 * step / radius;
        EXPECT_NEAR(model(got, r), model(want, r), tolerance * scale) << "h " << 0.1 * step;
    }
}

void expect_zero(const ThirdOrderRadialParams& p) {
    EXPECT_EQ(p.k1, 0.0);
    EXPECT_EQ(p.k2, 0.0);
    EXPECT_EQ(p.k3, 0.0);
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

TEST(LensFit, QrRecoversExactModel) {
    const std::array<ThirdOrderRadialParams, 3> models = {{
        {-0.05, 0.01, -0.002},
        {0.02, -0.004, 0.0005},
        {-0.3, 0.0, 0.0},
    }};
    for (const auto& p : models) {
        for (double radius : kRadii) {
            SCOPED_TRACE(radius);
            // The percentages are stored in single precision. The curve fixes the
            // coefficients, as r^2, r^4 and r^6 are independent over the measured range.
            expect_same_curve(qr_fit(from_model(p, radius), radius), p, radius, 1e-6);
        }
    }
}

TEST(LensFit, NonPositiveOrTinyRadiusGivesZeros) {
    const ImageHeightCharacteristics& c = kRealistic[0];
    for (double radius : {0.001, 0.0005, 0.0, -0.0, -1.0, -21.4, -kInf}) {
        SCOPED_TRACE(radius);
        expect_zero(approx_fit(c, radius));
    }
    for (double radius : {0.0, -0.0, -1e-300, -1.0, -21.4, -kInf}) {
        SCOPED_TRACE(radius);
        expect_zero(qr_fit(c, radius));
        expect_zero(qr_fit(c, radius, 10.0));
    }
    // Just above its limit the approximate fit computes; the QR fit has no limit of 0.001.
    EXPECT_NE(approx_fit(c, 0.0011).k1, 0.0);
    EXPECT_NE(qr_fit(c, 0.001).k1, 0.0);
}

TEST(LensFit, Value0HasNoInfluence) {
    const auto same = [](const ThirdOrderRadialParams& a, const ThirdOrderRadialParams& b) {
        return a.k1 == b.k1 && a.k2 == b.k2 && a.k3 == b.k3;
    };
    for (const auto& base : kRealistic) {
        for (float value0 : {-50.0f, 3.0e38f, std::numeric_limits<float>::quiet_NaN()}) {
            ImageHeightCharacteristics c = base;
            c.value_0 = value0;
            EXPECT_TRUE(same(approx_fit(c, 21.4), approx_fit(base, 21.4)));
            EXPECT_TRUE(same(qr_fit(c, 21.4), qr_fit(base, 21.4)));
            EXPECT_TRUE(same(qr_fit(c, 21.4, 7.0), qr_fit(base, 21.4, 7.0)));
        }
    }
}

// Least-squares solution of the six-sample problem through the normal equations, in long
// double: an independent reference for the QR fit on well-conditioned data.
ThirdOrderRadialParams normal_equations(const ImageHeightCharacteristics& c, double radius,
                                        double extraHeight) {
    const std::array<long double, 6> heights = {5.0L, 10.0L, 15.0L, 18.0L, 21.4L, extraHeight};
    const std::array<long double, 6> y = {c.value_5 / 100.0L,    c.value_10 / 100.0L,
                                          c.value_15 / 100.0L,   c.value_18 / 100.0L,
                                          c.value_21_4 / 100.0L, 1.0L};
    std::array<std::array<long double, 4>, 3> m{};  // [A^T A | A^T y]
    for (std::size_t i = 0; i < heights.size(); ++i) {
        const long double r2 = (heights[i] / radius) * (heights[i] / radius);
        const std::array<long double, 3> row = {r2, r2 * r2, r2 * r2 * r2};
        for (std::size_t j = 0; j < 3; ++j) {
            for (std::size_t k = 0; k < 3; ++k) {
                m[j][k] += row[j] * row[k];
            }
            m[j][3] += row[j] * y[i];
        }
    }
    for (std::size_t p = 0; p < 3; ++p) {  // Gauss-Jordan; A^T A is positive definite
        for (std::size_t j = 0; j < 3; ++j) {
            if (j != p) {
                const long double factor = m[j][p] / m[p][p];
                for (std::size_t k = p; k < 4; ++k) {
                    m[j][k] -= factor * m[p][k];
                }
            }
        }
    }
    return {static_cast<double>(m[0][3] / m[0][0]), static_cast<double>(m[1][3] / m[1][1]),
            static_cast<double>(m[2][3] / m[2][2])};
}

TEST(LensFit, ExtraSampleEntersTheFit) {
    for (const auto& c : kRealistic) {
        for (double extra : {2.0, 12.0, 21.4, -16.0}) {
            SCOPED_TRACE(extra);
            const ThirdOrderRadialParams without = qr_fit(c, 21.4);
            const ThirdOrderRadialParams with = qr_fit(c, 21.4, extra);
            const ThirdOrderRadialParams reference = normal_equations(c, 21.4, extra);
            // The sample of deviation 1 pulls the curve towards 1 at the extra height.
            EXPECT_GT(model(with, extra / 21.4), model(without, extra / 21.4) + 1e-3);
            EXPECT_NEAR(with.k1, reference.k1, 1e-9 * std::fabs(reference.k1) + 1e-12);
            EXPECT_NEAR(with.k2, reference.k2, 1e-9 * std::fabs(reference.k2) + 1e-12);
            EXPECT_NEAR(with.k3, reference.k3, 1e-9 * std::fabs(reference.k3) + 1e-12);
        }
    }
}

TEST(LensUndistort, ZeroCoefficientsPassRadiiFromThreshold) {
    ThirdOrderRadialParams zero{0.0, 0.0, 0.0};
    for (double rho : {0.0001, 0.00010001, 0.5, 1.0, 123.456, 1e50}) {
        EXPECT_EQ(Kor::undistort_point(rho, zero), rho);
    }
    for (double rho :
         {0.00009, 0.0000999999, 1e-8, 1e-320, 0.0, -0.0, -0.0001, -1.0, -kInf, kNaN, -kNaN}) {
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
