// The lens distortion and entrance pupil of a ZeissZdData record as OpenTrackIO lens values.
#pragma once

#include <array>
#include <optional>

#include <nlohmann/json.hpp>

#include <kor/telemetry.h>

namespace Kor::Bridge {

// ZeissZdData's radialDistortion elements 1 to 5 are the deviation of the image height in
// percent at the image heights 5, 10, 15, 18 and 21.4 mm; the fit covers radii up to the last.
inline constexpr double kDistortionFieldRadius = 21.4;  // mm
// The most a "Brown-Conrady D-U" entry may be off, as a radius on the sensor.
inline constexpr double kInverseTolerance = 0.001;  // mm

// The distortion as OpenTrackIO's Brown-Conrady models, radii in millimetres on the sensor.
struct LensDistortion {
    // "Brown-Conrady U-D", radial [a, 0, b, 0, c]: a point at undistorted radius h is imaged at
    // h (1 + a h^2 + b h^4 + c h^6). The least-squares fit of a h^2 + b h^4 + c h^6 to the
    // five deviations (percent / 100), Kor::lens_image_height_coeffs with R = 1 mm and E = 0.
    std::array<double, 5> undistortedToDistorted{};
    // "Brown-Conrady D-U", radial [k1, ..., k6]: the undistorted radius of a point at
    // distorted radius r is r (1 + k1 r^2 + k3 r^4 + k5 r^6) / (1 + k2 r^2 + k4 r^4 + k6 r^6),
    // the inverse of the U-D map over the measured field: distorted radii from 0 to the image
    // of 21.4 mm. Present when its denominator has no zero there and it maps the images of
    // the undistorted radii 0, 0.005, ..., 21.4 mm back to them within kInverseTolerance.
    std::optional<std::array<double, 6>> distortedToUndistorted;
    // The largest distance of the D-U map from the exact inverse at those points, in mm; also
    // when it exceeds the tolerance and the entry is left out. Infinite when no rational
    // form without a pole in range was found.
    double inverseError = 0;
};

// The distortion of a ZeissZdData record. Nothing when it has no meaning: an element 1 to 5
// that is not a number, infinite or 100 (percent) or more either way, or a U-D map that does not grow with the radius all the way from 0 to
// 21.4 mm (the image would fold over: deviations of tens of percent that turn back, -100 %
// and beyond). The D-U entry is left out, and the U-D entry kept, when the rational form
// cannot follow the inverse within the tolerance: smooth profiles beyond about -23 % or +18 %
// at 21.4 mm, or strongly wavy ones (+-5 % alternating). Deterministic; allocates nothing;
// takes about 0.1 ms, so a caller keeps the result while the record stays the same.
std::optional<LensDistortion> DistortionFromZeissZd(
    const Protocol::TelemetryData::ZeissZdValues& zd) noexcept;

// lens.distortion: the "Brown-Conrady D-U" entry (OpenTrackIO's default model) when present,
// then the "Brown-Conrady U-D" entry, each {"model", "radial"}.
nlohmann::ordered_json DistortionEntries(const LensDistortion& distortion);

// lens.entrancePupilOffset in metres: entrancePupilPosition, a signed count of millimetres
// (positive towards the object), divided by 1000.
double EntrancePupilOffset(const Protocol::TelemetryData::ZeissZdValues& zd) noexcept;

}  // namespace Kor::Bridge
