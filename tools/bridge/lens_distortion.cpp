// ZeissZdData distortion -> Brown-Conrady U-D and D-U coefficients; entrance pupil in metres.
#include "lens_distortion.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>

#include <kor/lens.h>

namespace Kor::Bridge {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Points at which the rational D-U form is fitted to the inverse, and undistorted radii at
// whose images the fit is checked (every 0.005 mm from 0 to 21.4 mm).
constexpr std::size_t kFitPoints = 64;
constexpr std::size_t kCheckPoints = 4281;
constexpr std::size_t kUnknowns = 6;
// Rounds of the reweighted linear fit (each divides by the previous denominator, so that the
// linear residual N - R D approaches the error of N / D).
constexpr int kFitRounds = 8;
// A little ridge regularisation of the normalised coefficients: where numerator and
// denominator could share a factor, the smallest coefficients win instead of a cancelling
// pole and zero. Far below the fit's own residuals.
constexpr double kRidge = 1e-12;

// The U-D map rho(h) = h (1 + a h^2 + b h^4 + c h^6) and its slope.
struct Forward {
    double a = 0;
    double b = 0;
    double c = 0;

    double operator()(double h) const noexcept {
        const double s = h * h;
        return h * (1.0 + s * (a + s * (b + s * c)));
    }
    double Slope(double h) const noexcept {
        const double s = h * h;
        return 1.0 + s * (3.0 * a + s * (5.0 * b + s * 7.0 * c));
    }
};

// The least value of c0 + c1 x + c2 x^2 + c3 x^3 for x in [lo, hi]: at an end or where the
// slope is zero.
double CubicMinimum(double c0, double c1, double c2, double c3, double lo, double hi) noexcept {
    const auto at = [&](double x) { return c0 + x * (c1 + x * (c2 + x * c3)); };
    double least = std::min(at(lo), at(hi));
    const auto consider = [&](double x) {
        if (x > lo && x < hi) {
            least = std::min(least, at(x));
        }
    };
    // Slope c1 + 2 c2 x + 3 c3 x^2, solved without cancellation.
    const double qa = 3.0 * c3;
    const double qb = 2.0 * c2;
    if (qa == 0.0) {
        if (qb != 0.0) {
            consider(-c1 / qb);
        }
        return least;
    }
    const double discriminant = qb * qb - 4.0 * qa * c1;
    if (discriminant < 0.0) {
        return least;
    }
    const double q = -0.5 * (qb + std::copysign(std::sqrt(discriminant), qb));
    consider(q / qa);
    if (q != 0.0) {
        consider(c1 / q);
    }
    return least;
}

// The undistorted radius h in [0, hi] with rho(h) = rho, for a map that grows on [0, hi]
// and reaches at least rho there: Newton steps kept inside a shrinking bracket.
double Inverse(const Forward& f, double rho, double hi) noexcept {
    double lo = 0.0;
    double h = std::clamp(rho, lo, hi);
    for (int step = 0; step < 100; ++step) {
        const double value = f(h) - rho;
        if (value == 0.0) {
            return h;
        }
        if (value > 0.0) {
            hi = h;
        } else {
            lo = h;
        }
        double next = h - value / f.Slope(h);
        if (!(next > lo && next < hi)) {
            next = 0.5 * (lo + hi);
        }
        if (std::fabs(next - h) <= 1e-15 * std::max(1.0, h) || next == lo || next == hi) {
            return next;
        }
        h = next;
    }
    return h;
}

// Least squares of a rows x kUnknowns system by Householder reflections, in place; the
// solution goes to x. Returns false for a singular triangle.
template <std::size_t Rows>
bool SolveLeastSquares(std::array<std::array<double, kUnknowns>, Rows>& a,
                       std::array<double, Rows>& y, std::array<double, kUnknowns>& x) noexcept {
    for (std::size_t k = 0; k < kUnknowns; ++k) {
        double squares = 0.0;
        for (std::size_t i = k; i < Rows; ++i) {
            squares += a[i][k] * a[i][k];
        }
        const double norm = std::sqrt(squares);
        if (!(norm > 0.0)) {
            return false;
        }
        const double alpha = a[k][k] > 0.0 ? -norm : norm;
        a[k][k] -= alpha;
        // v = column k from row k (with the pivot shifted); H = I - 2 v v^T / (v^T v), and
        // v^T v = -2 alpha v_k.
        const double vv = -alpha * a[k][k];
        for (std::size_t j = k + 1; j < kUnknowns; ++j) {
            double dot = 0.0;
            for (std::size_t i = k; i < Rows; ++i) {
                dot += a[i][k] * a[i][j];
            }
            const double scale = dot / vv;
            for (std::size_t i = k; i < Rows; ++i) {
                a[i][j] -= scale * a[i][k];
            }
        }
        double dot = 0.0;
        for (std::size_t i = k; i < Rows; ++i) {
            dot += a[i][k] * y[i];
        }
        const double scale = dot / vv;
        for (std::size_t i = k; i < Rows; ++i) {
            y[i] -= scale * a[i][k];
        }
        a[k][k] = alpha;
    }
    for (std::size_t k = kUnknowns; k-- > 0;) {
        double sum = y[k];
        for (std::size_t j = k + 1; j < kUnknowns; ++j) {
            sum -= a[k][j] * x[j];
        }
        x[k] = sum / a[k][k];
    }
    return std::all_of(x.begin(), x.end(), [](double v) { return std::isfinite(v); });
}

// The D-U rational form in the normalised variable t = r^2 / s_max: R(t) = N(t) / D(t), with
// x = [k1, k2, k3, k4, k5, k6] (numerator terms at even, denominator terms at odd places).
double Numerator(const std::array<double, kUnknowns>& x, double t) noexcept {
    return 1.0 + t * (x[0] + t * (x[2] + t * x[4]));
}
double Denominator(const std::array<double, kUnknowns>& x, double t) noexcept {
    return 1.0 + t * (x[1] + t * (x[3] + t * x[5]));
}

// Fits the D-U form to the inverse of `f` on distorted radii [0, f(hi)], where f grows on
// [0, hi]. Returns the coefficients in millimetres and sets `error` to the largest distance
// from the exact inverse at the check points.
//
// The fit is linear in the coefficients once the equation is multiplied out: N(t) - R D(t)
// = 0 at each point. Each round weights the equations by rho / D(t) of the previous round,
// so that the linear residual becomes the error in millimetres, rho (N / D - R). The round
// with the smallest largest error at the fit points is kept. (Reweighting towards the
// smallest largest error, or Gauss-Newton steps on the error itself, gained 10 to 15 %.)
std::optional<std::array<double, kUnknowns>> FitInverse(const Forward& f, double hi,
                                                        double& error) noexcept {
    const double rhoMax = f(hi);
    const double sMax = rhoMax * rhoMax;
    // Chebyshev-Lobatto radii (dense towards both ends), the origin left out: there the
    // equation is 0 = 0.
    std::array<double, kFitPoints> rho{};
    std::array<double, kFitPoints> ratio{};  // R = h / rho
    for (std::size_t j = 0; j < kFitPoints; ++j) {
        const double angle =
            std::numbers::pi * static_cast<double>(j + 1) / static_cast<double>(kFitPoints);
        rho[j] = 0.5 * rhoMax * (1.0 - std::cos(angle));
        ratio[j] = Inverse(f, rho[j], hi) / rho[j];
    }
    const auto fitError = [&](const std::array<double, kUnknowns>& x, std::size_t j) {
        const double t = rho[j] * rho[j] / sMax;
        return rho[j] * (Numerator(x, t) / Denominator(x, t) - ratio[j]);
    };

    std::array<double, kUnknowns> x{};
    std::optional<std::array<double, kUnknowns>> best;
    double bestError = kInfinity;
    for (int round = 0; round < kFitRounds; ++round) {
        std::array<std::array<double, kUnknowns>, kFitPoints + kUnknowns> a{};
        std::array<double, kFitPoints + kUnknowns> y{};
        for (std::size_t j = 0; j < kFitPoints; ++j) {
            const double t = rho[j] * rho[j] / sMax;
            const double r = ratio[j];
            const double w = rho[j] / std::fabs(Denominator(x, t));
            const double t2 = t * t;
            const double t3 = t2 * t;
            a[j] = {w * t, -w * r * t, w * t2, -w * r * t2, w * t3, -w * r * t3};
            y[j] = w * (r - 1.0);
        }
        const double ridge = std::sqrt(kRidge);
        for (std::size_t i = 0; i < kUnknowns; ++i) {
            a[kFitPoints + i][i] = ridge;
        }
        std::array<double, kUnknowns> next{};
        if (!SolveLeastSquares(a, y, next)) {
            break;
        }
        x = next;
        // A denominator with a zero in range has no meaning as a lens model.
        if (!(CubicMinimum(1.0, x[1], x[3], x[5], 0.0, 1.0) > 0.0)) {
            continue;
        }
        double largest = 0.0;
        for (std::size_t j = 0; j < kFitPoints; ++j) {
            largest = std::max(largest, std::fabs(fitError(x, j)));
        }
        if (largest < bestError) {
            bestError = largest;
            best = x;
        }
    }
    if (!best) {
        return std::nullopt;
    }
    x = *best;

    // The check runs over undistorted radii, whose images the forward map gives exactly.
    error = 0.0;
    for (std::size_t i = 0; i < kCheckPoints; ++i) {
        const double h = hi * static_cast<double>(i) / static_cast<double>(kCheckPoints - 1);
        const double r = f(h);
        const double t = r * r / sMax;
        error = std::max(error, std::fabs(r * Numerator(x, t) / Denominator(x, t) - h));
    }
    if (!std::isfinite(error)) {
        return std::nullopt;
    }

    // Back from t = r^2 / s_max to r in millimetres.
    std::array<double, kUnknowns> k{};
    for (std::size_t i = 0; i < kUnknowns; ++i) {
        const double power = static_cast<double>(i / 2 + 1);
        k[i] = x[i] / std::pow(sMax, power) + 0.0;  // + 0.0 turns -0 into 0
    }
    return k;
}

}  // namespace

std::optional<LensDistortion> DistortionFromZeissZd(
    const Protocol::TelemetryData::ZeissZdValues& zd) noexcept {
    const auto& d = zd.radialDistortion;
    // A deviation of 100 % or more (or one that is not a number) is no lens.
    if (!std::all_of(d.begin() + 1, d.end(), [](float v) { return std::fabs(v) < 100.0F; })) {
        return std::nullopt;
    }
    const ImageHeightCharacteristics samples{d[0], d[1], d[2], d[3], d[4], d[5]};
    ThirdOrderRadialParams params{};
    lens_image_height_coeffs(samples, 1.0, 0.0, params);
    const Forward f{params.k1, params.k2, params.k3};
    if (!std::isfinite(f.a) || !std::isfinite(f.b) || !std::isfinite(f.c)) {
        return std::nullopt;
    }
    // The image must grow with the radius over the whole field.
    const double field = kDistortionFieldRadius;
    if (!(CubicMinimum(1.0, 3.0 * f.a, 5.0 * f.b, 7.0 * f.c, 0.0, field * field) > 0.0)) {
        return std::nullopt;
    }

    LensDistortion out;
    out.undistortedToDistorted = {f.a + 0.0, 0.0, f.b + 0.0, 0.0, f.c + 0.0};
    // The D-U map covers the image of the field: distorted radii up to that of 21.4 mm.
    double error = kInfinity;
    const auto inverse = FitInverse(f, field, error);
    out.inverseError = inverse ? error : kInfinity;
    if (inverse && error <= kInverseTolerance) {
        out.distortedToUndistorted = inverse;
    }
    return out;
}

nlohmann::ordered_json DistortionEntries(const LensDistortion& distortion) {
    nlohmann::ordered_json entries = nlohmann::ordered_json::array();
    if (distortion.distortedToUndistorted) {
        entries.push_back({{"model", "Brown-Conrady D-U"},
                           {"radial", *distortion.distortedToUndistorted}});
    }
    entries.push_back(
        {{"model", "Brown-Conrady U-D"}, {"radial", distortion.undistortedToDistorted}});
    return entries;
}

double EntrancePupilOffset(const Protocol::TelemetryData::ZeissZdValues& zd) noexcept {
    return zd.entrancePupilPosition / 1000.0;
}

}  // namespace Kor::Bridge
