// Transform chain -> camera position and pan, tilt, roll.
#include "opentrackio_pose.h"

#include <cmath>
#include <numbers>

namespace Kor::Bridge {

namespace {

using Matrix = std::array<std::array<double, 3>, 3>;

constexpr double kRadians = std::numbers::pi / 180.0;
constexpr double kDegrees = 180.0 / std::numbers::pi;

Matrix Multiply(const Matrix& a, const Matrix& b) noexcept {
    Matrix c{};
    for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t j = 0; j < 3; ++j) {
            c[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j];
        }
    }
    return c;
}

// Rz(pan) Rx(tilt) Ry(roll), multiplied out.
Matrix Rotation(const std::array<double, 3>& degrees) noexcept {
    const double sa = std::sin(degrees[0] * kRadians);
    const double ca = std::cos(degrees[0] * kRadians);
    const double sb = std::sin(degrees[1] * kRadians);
    const double cb = std::cos(degrees[1] * kRadians);
    const double sc = std::sin(degrees[2] * kRadians);
    const double cc = std::cos(degrees[2] * kRadians);
    return {{{ca * cc - sa * sb * sc, -sa * cb, ca * sc + sa * sb * cc},
             {sa * cc + ca * sb * sc, ca * cb, sa * sc - ca * sb * cc},
             {-cb * sc, sb, cb * cc}}};
}

}  // namespace

Pose ComposeTransforms(std::span<const Transform> chain) noexcept {
    Pose pose;
    if (chain.size() == 1) {
        pose.position = chain[0].translation;
        pose.pan = chain[0].rotation[0];
        pose.tilt = chain[0].rotation[1];
        pose.roll = chain[0].rotation[2];
        return pose;
    }
    Matrix linear{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};  // rotations and scales so far
    Matrix turn = linear;                              // rotations alone
    for (const Transform& t : chain) {
        for (std::size_t i = 0; i < 3; ++i) {
            pose.position[i] += linear[i][0] * t.translation[0] + linear[i][1] * t.translation[1] +
                                linear[i][2] * t.translation[2];
        }
        const Matrix rotation = Rotation(t.rotation);
        Matrix scaled = rotation;
        for (std::size_t i = 0; i < 3; ++i) {
            for (std::size_t j = 0; j < 3; ++j) {
                scaled[i][j] *= t.scale[j];
            }
        }
        linear = Multiply(linear, scaled);
        turn = Multiply(turn, rotation);
    }
    // R[0][1] = -sin(pan) cos(tilt), R[1][1] = cos(pan) cos(tilt), R[2][1] = sin(tilt),
    // R[2][0] = -cos(tilt) sin(roll), R[2][2] = cos(tilt) cos(roll).
    const Matrix& r = turn;
    const double cosTilt = std::hypot(r[0][1], r[1][1]);
    pose.tilt = std::atan2(r[2][1], cosTilt) * kDegrees;
    if (cosTilt > 1e-9) {
        pose.pan = std::atan2(-r[0][1], r[1][1]) * kDegrees;
        pose.roll = std::atan2(-r[2][0], r[2][2]) * kDegrees;
    } else {
        // Looking straight up or down: R[0][0] = cos(pan +- roll), R[1][0] = sin(pan +- roll).
        pose.pan = std::atan2(r[1][0], r[0][0]) * kDegrees;
        pose.roll = 0.0;
    }
    // atan2 gives (-180, 180] for positive zeros; keep 180 rather than -180.
    if (pose.pan == -180.0) {
        pose.pan = 180.0;
    }
    if (pose.roll == -180.0) {
        pose.roll = 180.0;
    }
    return pose;
}

}  // namespace Kor::Bridge
