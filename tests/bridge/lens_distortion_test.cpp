// ZeissZdData distortion as Brown-Conrady entries: the U-D fit against normal equations
// solved here, the D-U map against the exact inverse on dense grids, and the refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <iostream>
#include <limits>

#include "lens_distortion.h"

namespace {

using namespace Kor::Bridge;
using Zd = Kor::Protocol::TelemetryData::ZeissZdValues;

Zd WithDistortion(std::array<float, 5> percent) {
    Zd zd;
    std::copy(percent.begin(), percent.end(), zd.radialDistortion.begin() + 1);
    return zd;
}

// The least-squares a, b, c of y = a h^2 + b h^4 + c h^6 at the five heights, from the
// normal equations in long double (Gaussian elimination with partial pivoting).
std::array<long double, 3> NormalEquationsFit(std::array<float, 5> percent) {
    const long double heights[5] = {5.0L, 10.0L, 15.0L, 18.0L, 21.4L};
    long double m[3][4] = {};
    for (int i = 0; i < 5; ++i) {
        const long double s = heights[i] * heights[i];
        const long double row[3] = {s, s * s, s * s * s};
        const long double y = static_cast<long double>(percent[static_cast<std::size_t>(i)]) / 100;
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) {
                m[r][c] += row[r] * row[c];
            }
            m[r][3] += row[r] * y;
        }
    }
    for (int k = 0; k < 3; ++k) {
        int pivot = k;
        for (int r = k + 1; r < 3; ++r) {
            if (std::fabs(m[r][k]) > std::fabs(m[pivot][k])) {
                pivot = r;
            }
        }
        std::swap(m[k], m[pivot]);
        for (int r = k + 1; r < 3; ++r) {
            const long double factor = m[r][k] / m[k][k];
            for (int c = k; c < 4; ++c) {
                m[r][c] -= factor * m[k][c];
            }
        }
    }
    std::array<long double, 3> x{};
    for (int k = 2; k >= 0; --k) {
        long double sum = m[k][3];
        for (int c = k + 1; c < 3; ++c) {
            sum -= m[k][c] * x[static_cast<std::size_t>(c)];
        }
        x[static_cast<std::size_t>(k)] = sum / m[k][k];
    }
    return x;
}

// The maps as the entries state them, evaluated here.
double UndistortedToDistorted(const std::array<double, 5>& k, double h) {
    const double s = h * h;
    return h * (1 + k[0] * s + k[2] * s * s + k[4] * s * s * s);
}
double DistortedToUndistorted(const std::array<double, 6>& k, double r) {
    const double s = r * r;
    return r * (1 + k[0] * s + k[2] * s * s + k[4] * s * s * s) /
           (1 + k[1] * s + k[3] * s * s + k[5] * s * s * s);
}

// The largest distance of the D-U map from the exact inverse of the U-D map: over undistorted
// radii every 0.001 mm from 0 to 21.4 mm, and over distorted radii every 0.001 mm of their
// image, with the undistorted radius found by bisection. Also checks the denominator.
double InverseError(const LensDistortion& d) {
    const auto& ud = d.undistortedToDistorted;
    const auto& du = *d.distortedToUndistorted;
    double worst = 0;
    for (int i = 0; i <= 21400; ++i) {
        const double h = i / 1000.0;
        worst = std::max(worst, std::fabs(DistortedToUndistorted(du, UndistortedToDistorted(ud, h)) - h));
    }
    const double rhoMax = UndistortedToDistorted(ud, 21.4);
    for (int i = 0; i * 0.001 <= rhoMax; ++i) {
        const double rho = i / 1000.0;
        double lo = 0;
        double hi = 21.4;
        for (int step = 0; step < 80; ++step) {
            const double mid = 0.5 * (lo + hi);
            (UndistortedToDistorted(ud, mid) < rho ? lo : hi) = mid;
        }
        worst = std::max(worst, std::fabs(DistortedToUndistorted(du, rho) - 0.5 * (lo + hi)));
        const double s = rho * rho;
        EXPECT_GT(1 + du[1] * s + du[3] * s * s + du[5] * s * s * s, 0.0) << rho;
    }
    return worst;
}

TEST(LensDistortion, TypicalBarrelDistortion) {
    const std::array<float, 5> percent = {-0.4F, -1.1F, -1.9F, -2.3F, -2.6F};
    const auto d = DistortionFromZeissZd(WithDistortion(percent));
    ASSERT_TRUE(d);

    // U-D: [a, 0, b, 0, c], the least-squares fit to 6 significant digits.
    const auto expected = NormalEquationsFit(percent);
    const auto& ud = d->undistortedToDistorted;
    EXPECT_EQ(ud[1], 0.0);
    EXPECT_EQ(ud[3], 0.0);
    for (std::size_t i = 0; i < 3; ++i) {
        const long double want = expected[i];
        EXPECT_NEAR(ud[2 * i], static_cast<double>(want), std::fabs(static_cast<double>(want)) * 1e-6)
            << "coefficient " << i;
    }
    // The fit passes near the samples: -2.6 % at 21.4 mm within a few hundredths of a percent.
    EXPECT_NEAR(UndistortedToDistorted(ud, 21.4) / 21.4 - 1, -0.026, 0.0005);

    // D-U: within 0.001 mm of the exact inverse.
    ASSERT_TRUE(d->distortedToUndistorted);
    const double error = InverseError(*d);
    std::cout << "D-U error: " << error << " mm measured here, " << d->inverseError
              << " mm reported\n";
    EXPECT_LE(error, kInverseTolerance);
    EXPECT_LE(d->inverseError, kInverseTolerance);
    EXPECT_NEAR(error, d->inverseError, 1e-6);

    const auto entries = DistortionEntries(*d);
    ASSERT_EQ(entries.size(), 2U);
    EXPECT_EQ(entries[0]["model"], "Brown-Conrady D-U");
    EXPECT_EQ(entries[0]["radial"].size(), 6U);
    EXPECT_EQ(entries[1]["model"], "Brown-Conrady U-D");
    EXPECT_EQ(entries[1]["radial"].get<std::vector<double>>(),
              std::vector<double>(ud.begin(), ud.end()));
    EXPECT_EQ(entries[0]["radial"].get<std::vector<double>>(),
              std::vector<double>(d->distortedToUndistorted->begin(),
                                  d->distortedToUndistorted->end()));
}

// Barrel and pincushion, mild to strong, and a wavy profile: every D-U entry that is given
// inverts its U-D entry within the tolerance; these all get one.
TEST(LensDistortion, InverseHoldsForModerateDistortion) {
    const std::array<std::array<float, 5>, 6> cases = {{
        {-0.8F, -2.2F, -3.8F, -4.6F, -5.2F},
        {0.4F, 1.1F, 1.9F, 2.3F, 2.6F},
        {-2.0F, -5.5F, -9.5F, -11.5F, -13.0F},
        {2.0F, 5.5F, 9.5F, 11.5F, 13.0F},
        {1.0F, -1.0F, 1.0F, -1.0F, 1.0F},
        {0.0F, 0.0F, 0.0F, 0.0F, 0.01F},
    }};
    for (const auto& percent : cases) {
        const auto d = DistortionFromZeissZd(WithDistortion(percent));
        ASSERT_TRUE(d && d->distortedToUndistorted) << percent[4];
        EXPECT_LE(InverseError(*d), kInverseTolerance) << percent[4];
    }
}

TEST(LensDistortion, NoDistortion) {
    const auto d = DistortionFromZeissZd(Zd{});
    ASSERT_TRUE(d);
    ASSERT_TRUE(d->distortedToUndistorted);
    EXPECT_EQ(d->inverseError, 0.0);
    const auto entries = DistortionEntries(*d);
    ASSERT_EQ(entries.size(), 2U);
    for (const auto& entry : entries) {
        for (const auto& k : entry["radial"]) {
            // Plain zeros, not -0 (which JSON would show as -0.0).
            EXPECT_EQ(k.dump(), "0.0") << entry.dump();
        }
    }
}

// Beyond what the rational form follows within 0.001 mm (about -26 % at 21.4 mm): the U-D
// entry alone, and the error found says why.
TEST(LensDistortion, StrongDistortionKeepsOnlyTheForwardMap) {
    const std::array<float, 5> percent = {-4.0F, -11.0F, -19.0F, -23.0F, -26.0F};
    const auto d = DistortionFromZeissZd(WithDistortion(percent));
    ASSERT_TRUE(d);
    EXPECT_FALSE(d->distortedToUndistorted);
    EXPECT_GT(d->inverseError, kInverseTolerance);
    EXPECT_TRUE(std::isfinite(d->inverseError));
    const auto expected = NormalEquationsFit(percent);
    EXPECT_NEAR(d->undistortedToDistorted[4], static_cast<double>(expected[2]),
                std::fabs(static_cast<double>(expected[2])) * 1e-6);
    const auto entries = DistortionEntries(*d);
    ASSERT_EQ(entries.size(), 1U);
    EXPECT_EQ(entries[0]["model"], "Brown-Conrady U-D");
}

TEST(LensDistortion, MeaninglessInputGivesNoEntry) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (const float bad : {nan, inf, -inf, 100.0F, -100.0F, 327.67F}) {
        EXPECT_FALSE(DistortionFromZeissZd(WithDistortion({-0.4F, -1.1F, bad, -2.3F, -2.6F})))
            << bad;
    }
    // An image that folds over: the fit turns back before 21.4 mm.
    EXPECT_FALSE(DistortionFromZeissZd(WithDistortion({0.0F, 0.0F, 0.0F, 0.0F, -60.0F})));
    // Element 0 is not a sample.
    Zd zd = WithDistortion({-0.4F, -1.1F, -1.9F, -2.3F, -2.6F});
    zd.radialDistortion[0] = nan;
    EXPECT_TRUE(DistortionFromZeissZd(zd));
}

TEST(LensDistortion, EntrancePupilInMetres) {
    Zd zd;
    for (const auto& [millimetres, metres] :
         {std::pair{125, 0.125}, {-40, -0.04}, {0, 0.0}, {1023, 1.023}}) {
        zd.entrancePupilPosition = static_cast<std::int16_t>(millimetres);
        EXPECT_DOUBLE_EQ(EntrancePupilOffset(zd), metres);
    }
}

}  // namespace
