// Lens distortion model: least-squares fits of the third-order radial model and its inverse.
#include <kor/lens.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

namespace Kor {

namespace {

constexpr std::size_t kSampleCount = 6;  // five measured heights and the extra sample
constexpr std::size_t kCoeffCount = 3;

using Matrix63 = std::array<std::array<double, kCoeffCount>, kSampleCount>;
using Matrix66 = std::array<std::array<double, kSampleCount>, kSampleCount>;
using Vector6 = std::array<double, kSampleCount>;

// The image heights at which the characteristics are measured.
constexpr std::array<double, 5> kHeights = {5.0, 10.0, 15.0, 18.0, 21.4};

// Fills row `i` of `a` with (r^2, r^4, r^6).
void set_row(Matrix63& a, std::size_t i, double r) {
    const double r2 = r * r;
    const double r4 = r2 * r2;
    a[i][0] = r2;
    a[i][1] = r4;
    a[i][2] = r4 * r2;
}

}  // namespace

void image_height_aberration_third_order_approx(const ImageHeightCharacteristics& c,
                                                double normalisationRadius,
                                                ThirdOrderRadialParams& out) {
    const double radius = normalisationRadius;
    if (radius <= 0.001) {
        out = ThirdOrderRadialParams{0.0, 0.0, 0.0};
        return;
    }

    // The percentages become fractions in single precision, as they are stored.
    const double p5 = static_cast<double>(c.value_5 / 100.0f);
    const double p10 = static_cast<double>(c.value_10 / 100.0f);
    const double p15 = static_cast<double>(c.value_15 / 100.0f);
    const double p18 = static_cast<double>(c.value_18 / 100.0f);
    const double p21 = static_cast<double>(c.value_21_4 / 100.0f);

    // q, f and g are the first three entries of Q^T y, where Q is the orthogonal factor of
    // the 5x3 matrix with rows (h^2, h^4, h^6) for the five heights (weights rounded to
    // eight decimals). The scale factors below are the back-substitution products of its
    // triangular factor; the powers of s = R^2 turn the coefficients of the unnormalised
    // height h into those of r = h / R.
    const double s = radius * radius;
    const double q = -0.04077303 * p5 - 0.16309213 * p10 - 0.3669573 * p15 - 0.52841851 * p18 -
                     0.74689673 * p21;
    const double f = -0.14581548 * p5 - 0.45966987 * p10 - 0.57078706 * p15 - 0.29335493 * p18 +
                     0.59631072 * p21;
    const double g = 0.32673013 * p5 + 0.66558262 * p10 - 0.01610904 * p15 - 0.61095608 * p18 +
                     0.27698442 * p21;

    out.k1 = s * (-0.00624459258785691 * f - 0.0016309213341234915 * q +
                  0.01560315235077826 * g);
    out.k2 = s * s * (0.000016478938737478363 * f - 0.00010531943299550546 * g);
    out.k3 = s * s * s * 0.0000001584617154347143 * g;
}

void lens_image_height_coeffs(const ImageHeightCharacteristics& c, double normalisationRadius,
                              double extraSampleHeight, ThirdOrderRadialParams& out) {
    const double radius = normalisationRadius;
    if (radius <= 0.0) {
        out = ThirdOrderRadialParams{0.0, 0.0, 0.0};
        return;
    }

    const Vector6 y = {
        static_cast<double>(c.value_5) / 100.0,  static_cast<double>(c.value_10) / 100.0,
        static_cast<double>(c.value_15) / 100.0, static_cast<double>(c.value_18) / 100.0,
        static_cast<double>(c.value_21_4) / 100.0, 1.0,
    };

    // a becomes the triangular factor R' in place; q accumulates the product of the
    // reflections, so that A = q * R'. An extra height of 0 gives a zero row, which no
    // reflection changes and which therefore adds nothing to the fit.
    Matrix63 a{};
    for (std::size_t i = 0; i < kHeights.size(); ++i) {
        set_row(a, i, kHeights[i] / radius);
    }
    set_row(a, kSampleCount - 1, extraSampleHeight / radius);

    // A sample that is not finite (a not-a-number or infinite height or percentage, or a
    // power that overflowed) would skip reflections and leave finite, meaningless numbers:
    // the fit has no answer then.
    bool finite = true;
    for (std::size_t i = 0; i < kSampleCount; ++i) {
        finite = finite && std::isfinite(y[i]);
        for (std::size_t j = 0; j < kCoeffCount; ++j) {
            finite = finite && std::isfinite(a[i][j]);
        }
    }
    if (!finite) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        out = ThirdOrderRadialParams{nan, nan, nan};
        return;
    }

    Matrix66 q{};
    for (std::size_t i = 0; i < kSampleCount; ++i) {
        q[i][i] = 1.0;
    }

    for (std::size_t k = 0; k < kCoeffCount; ++k) {
        double normSquared = 0.0;
        for (std::size_t i = k; i < kSampleCount; ++i) {
            normSquared += a[i][k] * a[i][k];
        }
        const double norm = std::sqrt(normSquared);
        // Reflect onto alpha * e_k with the sign opposite to the pivot (a zero pivot counts
        // as positive), so that v_k = pivot - alpha cannot cancel.
        const double alpha = a[k][k] >= 0.0 ? -norm : norm;

        Vector6 v{};
        double vv = 0.0;
        for (std::size_t i = k; i < kSampleCount; ++i) {
            v[i] = a[i][k];
        }
        v[k] -= alpha;
        for (std::size_t i = k; i < kSampleCount; ++i) {
            vv += v[i] * v[i];
        }
        if (!(vv > 0.0)) {
            // The column part is zero already (or not a number): the reflection is the
            // identity, and the zero diagonal entry shows up in the back-substitution.
            continue;
        }
        const double tau = 2.0 / vv;

        // R' <- H R' for the remaining columns; column k becomes alpha * e_k exactly.
        for (std::size_t j = k + 1; j < kCoeffCount; ++j) {
            double dot = 0.0;
            for (std::size_t i = k; i < kSampleCount; ++i) {
                dot += v[i] * a[i][j];
            }
            const double scale = tau * dot;
            for (std::size_t i = k; i < kSampleCount; ++i) {
                a[i][j] -= scale * v[i];
            }
        }
        a[k][k] = alpha;
        for (std::size_t i = k + 1; i < kSampleCount; ++i) {
            a[i][k] = 0.0;
        }

        // Q <- Q H.
        for (std::size_t row = 0; row < kSampleCount; ++row) {
            double dot = 0.0;
            for (std::size_t i = k; i < kSampleCount; ++i) {
                dot += q[row][i] * v[i];
            }
            const double scale = tau * dot;
            for (std::size_t i = k; i < kSampleCount; ++i) {
                q[row][i] -= scale * v[i];
            }
        }
    }

    // The first three entries of Q^T y.
    std::array<double, kCoeffCount> b{};
    for (std::size_t j = 0; j < kCoeffCount; ++j) {
        double sum = 0.0;
        for (std::size_t i = 0; i < kSampleCount; ++i) {
            sum += q[i][j] * y[i];
        }
        b[j] = sum;
    }

    // A zero diagonal entry (a degenerate matrix) divides by zero here, giving an infinite
    // or not-a-number coefficient.
    const double k3 = b[2] / a[2][2];
    const double k2 = (b[1] - k3 * a[1][2]) / a[1][1];
    const double k1 = (b[0] - k3 * a[0][2] - k2 * a[0][1]) / a[0][0];
    out = ThirdOrderRadialParams{k1, k2, k3};
}

double undistort_point(double distortedRadius, ThirdOrderRadialParams& params) {
    const double rho = distortedRadius;
    // Every radius below 0.0001 (negative ones included) and a not-a-number give 0.
    if (!(rho >= 0.0001)) {
        return 0.0;
    }

    // Fixed-point iteration r <- rho / (1 + D(r)); ten steps, no convergence test.
    double r = rho;
    for (int step = 0; step < 10; ++step) {
        const double d = r * r;
        const double d2 = d * d;
        const double d3 = d2 * d;
        r = rho / (1.0 + params.k1 * d + params.k2 * d2 + params.k3 * d3);
    }
    return r;
}

}  // namespace Kor
