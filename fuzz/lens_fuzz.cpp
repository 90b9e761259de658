// Fuzz target: the lens model's functions with arbitrary floats and doubles (NaN, infinities,
// denormals and huge values included): no undefined behaviour, and the fixed results hold.
//
// Input: six floats (the characteristics), then the radius R, the extra height E, the distorted
// radius and k1, k2, k3 as doubles; raw big-endian bits, missing bytes read as zero.
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include <kor/lens.h>

#include "fuzz_support.h"

namespace {

using Kor::ImageHeightCharacteristics;
using Kor::ThirdOrderRadialParams;
using kor_fuzz::Require;

constexpr double kSentinel = -7.0;  // what the result holds before a call

bool SameBits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

bool SameParams(const ThirdOrderRadialParams& a, const ThirdOrderRadialParams& b) {
    return SameBits(a.k1, b.k1) && SameBits(a.k2, b.k2) && SameBits(a.k3, b.k3);
}

bool AllZero(const ThirdOrderRadialParams& p) {
    return p.k1 == 0.0 && p.k2 == 0.0 && p.k3 == 0.0;
}

ThirdOrderRadialParams Approx(const ImageHeightCharacteristics& c, double radius) {
    ThirdOrderRadialParams out{kSentinel, kSentinel, kSentinel};
    Kor::image_height_aberration_third_order_approx(c, radius, out);
    return out;
}

ThirdOrderRadialParams Householder(const ImageHeightCharacteristics& c, double radius,
                                   double extra) {
    ThirdOrderRadialParams out{kSentinel, kSentinel, kSentinel};
    Kor::lens_image_height_coeffs(c, radius, extra, out);
    return out;
}

// For moderate inputs both fits solve the same least-squares problem, the first with weights
// rounded to eight decimals and percentages divided in single precision. Each coefficient may
// differ by a millionth of the largest value its formula can reach for these percentages.
void RequireFitsAgree(const ImageHeightCharacteristics& c, double radius,
                      const ThirdOrderRadialParams& approx, const ThirdOrderRadialParams& exact) {
    double sumAbs = 0.0;
    for (float v : {c.value_5, c.value_10, c.value_15, c.value_18, c.value_21_4}) {
        sumAbs += std::fabs(static_cast<double>(v)) / 100.0;
    }
    const double s = radius * radius;
    // Largest factor of each coefficient's formula: the sum of its scale factors times s^j.
    const std::array<double, 3> reach{s * 0.0235, s * s * 1.22e-4, s * s * s * 1.6e-7};
    const std::array<double, 3> a{approx.k1, approx.k2, approx.k3};
    const std::array<double, 3> e{exact.k1, exact.k2, exact.k3};
    for (std::size_t j = 0; j < 3; ++j) {
        const double tolerance = 1e-6 * reach[j] * (sumAbs + 1e-36);
        Require(std::fabs(a[j] - e[j]) <= tolerance, "the two fits disagree");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kor_fuzz::ByteReader in(data, size);
    ImageHeightCharacteristics c{};
    c.value_0 = in.RawFloat();
    c.value_5 = in.RawFloat();
    c.value_10 = in.RawFloat();
    c.value_15 = in.RawFloat();
    c.value_18 = in.RawFloat();
    c.value_21_4 = in.RawFloat();
    const double radius = in.RawDouble();
    const double extra = in.RawDouble();
    const double distorted = in.RawDouble();
    ThirdOrderRadialParams params{};
    params.k1 = in.RawDouble();
    params.k2 = in.RawDouble();
    params.k3 = in.RawDouble();

    const ThirdOrderRadialParams approx = Approx(c, radius);
    const ThirdOrderRadialParams withExtra = Householder(c, radius, extra);
    const ThirdOrderRadialParams exact = Householder(c, radius, 0.0);
    if (radius <= 0.001) {
        Require(AllZero(approx), "approximate fit not zero for a radius up to 0.001");
    }
    if (radius <= 0.0) {
        Require(AllZero(withExtra) && AllZero(exact), "QR fit not zero for a radius up to 0");
    }

    // value_0 is read by nothing.
    ImageHeightCharacteristics other = c;
    other.value_0 = std::bit_cast<float>(std::bit_cast<std::uint32_t>(c.value_0) ^ 0x7FC00001U);
    Require(SameParams(Approx(other, radius), approx), "value_0 changed the approximate fit");
    Require(SameParams(Householder(other, radius, extra), withExtra), "value_0 changed the QR fit");

    const bool moderate = radius >= 0.01 && radius <= 1000.0 && std::fabs(c.value_5) <= 1e4F &&
                          std::fabs(c.value_10) <= 1e4F && std::fabs(c.value_15) <= 1e4F &&
                          std::fabs(c.value_18) <= 1e4F && std::fabs(c.value_21_4) <= 1e4F;
    if (moderate) {
        RequireFitsAgree(c, radius, approx, exact);
    }

    // undistort_point only reads its parameters.
    const ThirdOrderRadialParams before = params;
    const double undistorted = Kor::undistort_point(distorted, params);
    Require(SameParams(params, before), "undistort_point changed its parameters");
    if (!(distorted >= 0.0001)) {
        Require(undistorted == 0.0, "radius below 0.0001 (or NaN) not mapped to 0");
    }
    // Without distortion every radius maps to itself, as long as its sixth power is finite.
    ThirdOrderRadialParams none{0.0, 0.0, 0.0};
    const double identity = Kor::undistort_point(distorted, none);
    if (distorted >= 0.0001 && distorted <= 1e50) {
        Require(identity == distorted, "undistort_point without distortion moved the radius");
    }
    return 0;
}
