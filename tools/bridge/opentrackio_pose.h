// The camera pose of an OpenTrackIO transform chain.
#pragma once

#include <array>
#include <span>

namespace Kor::Bridge {

// One entry of `transforms`: translation in metres; rotation as pan, tilt and roll in
// degrees; scale factors. Axes: Z up, Y forward (at zero rotation), X to the right;
// right-handed. The rotation is intrinsic Z-X'-Y'' (pan about Z, then tilt about the turned
// X, then roll about the turned Y): R = Rz(pan) Rx(tilt) Ry(roll), positive angles turning
// counter-clockwise when looking down the axis (positive pan turns Y towards -X, positive
// tilt lifts Y towards Z).
struct Transform {
    std::array<double, 3> translation{};     // x, y, z
    std::array<double, 3> rotation{};        // pan, tilt, roll
    std::array<double, 3> scale{1, 1, 1};    // x, y, z
};

struct Pose {
    std::array<double, 3> position{};  // metres
    double pan = 0;                    // degrees
    double tilt = 0;
    double roll = 0;
};

// The pose of the last transform of the chain relative to the first's parent (the stage):
// transform i places transform i + 1, as M = M0 M1 ... Mn-1 with Mi = T(translation) R S(scale).
// The position is where M takes the origin: a transform's scale stretches the translations of
// the transforms after it. The orientation is R0 R1 ... Rn-1: scale turns no axis (a
// non-uniform or negative one would shear or mirror them, which a pose cannot hold). The
// angles of a single transform are passed on as they are (beyond 360 degrees too); those of a
// chain come from its composed rotation, with pan and roll in (-180, 180] and tilt in
// [-90, 90]; at tilt +-90, where only pan + roll or pan - roll is defined, roll is 0. An empty
// chain gives the zero pose. Finite inputs of sensible size give finite results.
Pose ComposeTransforms(std::span<const Transform> chain) noexcept;

}  // namespace Kor::Bridge
