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

std::array<std::uint64_t, 3> Bits(const ThirdOrderRadialParams& p) {
    return {std::bit_cast<std::uint64_t>(p.k1), std::bit_cast<std::uint64_t>(p.k2),
            std::bit_cast<std::uint64_t>(p.k3)};
}

bool AllZero(const ThirdOrderRadialParams& p) {
    return p.k1 == 0.0 && p.k2 == 0.0 && p.k3 == 0.0;
}

// The approximate fit, into a result that holds a sentinel before the call.
ThirdOrderRadialParams Approx(const ImageHeightCharacteristics& c, double radius) {
    ThirdOrderRadialParams out{-7.0, -7.0, -7.0};
    Kor::image_height_aberration_third_order_approx(c, radius, out);
    return out;
}

// The QR fit with extra height `extra`, the same way.
ThirdOrderRadialParams Qr(const ImageHeightCharacteristics& c, double radius, double extra) {
    ThirdOrderRadialParams out{-7.0, -7.0, -7.0};
    Kor::lens_image_height_coeffs(c, radius, extra, out);
    return out;
}

// For moderate inputs both fits solve the same least-squares problem, the first with weights
// rounded to eight decimals and percentages divided in single precision. Each coefficient may
// differ by a millionth of the largest value its formula can reach for these percentages.
void RequireFitsAgree(const ImageHeightCharacteristics& c, double radius,
                      const ThirdOrderRadialParams& approx, const ThirdOrderRadialParams& exact) {
    bool moderate = radius >= 0.01 && radius <= 1000.0;
    double sumAbs = 0.0;
    for (float v : {c.value_5, c.value_10, c.value_15, c.value_18, c.value_21_4}) {
        moderate = moderate && std::fabs(v) <= 1e4F;
        sumAbs += std::fabs(static_cast<double>(v)) / 100.0;
    }
    if (!moderate) {
        return;
    }
    const double s = radius * radius;
    // Largest factor of each coefficient's formula: the sum of its scale factors times s^j.
    const std::array<double, 3> reach{s * 0.0235, s * s * 1.22e-4, s * s * s * 1.6e-7};
    const std::array<double, 3> a{approx.k1, approx.k2, approx.k3};
    const std::array<double, 3> e{exact.k1, exact.k2, exact.k3};
    for (std::size_t j = 0; j < 3; ++j) {
        Require(std::fabs(a[j] - e[j]) <= 1e-6 * reach[j] * (sumAbs + 1e-36),
                "the two fits disagree");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kor_fuzz::ByteReader in(data, size);
    ImageHeightCharacteristics c{};
    for (float* v :
         {&c.value_0, &c.value_5, &c.value_10, &c.value_15, &c.value_18, &c.value_21_4}) {
        *v = in.RawFloat();
    }
    const double radius = in.RawDouble();
    const double extra = in.RawDouble();
    const double distorted = in.RawDouble();
    ThirdOrderRadialParams params{in.RawDouble(), in.RawDouble(), in.RawDouble()};

    const ThirdOrderRadialParams approx = Approx(c, radius);
    const ThirdOrderRadialParams withExtra = Qr(c, radius, extra);
    const ThirdOrderRadialParams exact = Qr(c, radius, 0.0);
    Require(!(radius <= 0.001) || AllZero(approx), "approximate fit not zero for R up to 0.001");
    Require(!(radius <= 0.0) || (AllZero(withExtra) && AllZero(exact)),
            "QR fit not zero for R <= 0");

    // value_0 is read by nothing.
    ImageHeightCharacteristics other = c;
    other.value_0 = std::bit_cast<float>(std::bit_cast<std::uint32_t>(c.value_0) ^ 0x7FC00001U);
    Require(Bits(Approx(other, radius)) == Bits(approx), "value_0 changed the approximate fit");
    Require(Bits(Qr(other, radius, extra)) == Bits(withExtra), "value_0 changed the QR fit");

    RequireFitsAgree(c, radius, approx, exact);

    // undistort_point only reads its parameters; radii below 0.0001 (or NaN) give 0, and
    // without distortion every radius whose sixth power is finite maps to itself.
    const ThirdOrderRadialParams before = params;
    const double undistorted = Kor::undistort_point(distorted, params);
    Require(Bits(params) == Bits(before), "undistort_point changed its parameters");
    Require(distorted >= 0.0001 || undistorted == 0.0, "radius below 0.0001 not mapped to 0");
    ThirdOrderRadialParams none{0.0, 0.0, 0.0};
    const double identity = Kor::undistort_point(distorted, none);
    Require(!(distorted >= 0.0001 && distorted <= 1e50) || identity == distorted,
            "undistort_point without distortion moved the radius");
    return 0;
}
