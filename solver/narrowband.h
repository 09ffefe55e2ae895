// Steps for narrow bands.
//
// For a half bandwidth m no wider than one vector register holds elements
// (narrow_limit: 8 floats or 4 doubles) the block factorisation and the block
// steps of the solve kernel run in variants compiled for that bandwidth: their
// loops over the band have fixed lengths and work across the independent
// columns (spike columns, right-hand sides) in one register. They perform, for
// every element, the same operations in the same order as the generic steps, so
// both give bitwise the same results. Wider real bands use the medium-band
// steps of solver/mediumband.h (a column or a few rows in several registers,
// the same bits again) where they exist, the generic steps elsewhere; the
// complex types, whose products do not map onto such registers, use the
// generic steps: fixed-bandwidth variants for them were measured slower.
#pragma once

#include "solver/scalar.h"

namespace velqo {

/// Widest band with narrow-band steps for element type T (0: none).
template <class T> inline constexpr int narrow_limit = is_complex<T> ? 0 : int(32 / sizeof(T));

/// Whether the test seam allows the narrow-band steps.
bool narrow_steps_allowed();

/// Whether the kernels use the narrow-band steps for half bandwidth m (decided
/// once per kernel call).
template <class T> bool use_narrow_steps(int m) {
  return m >= 1 && m <= narrow_limit<T> && narrow_steps_allowed();
}

/// Whether the kernels use the medium-band steps of solver/mediumband.h for
/// half bandwidth m: real types from just above the narrow limit on.
template <class T> bool use_medium_steps(int m) {
  return !is_complex<T> && m > narrow_limit<T> && narrow_steps_allowed();
}

}  // namespace velqo

namespace velqo::testing {

/// Makes every kernel call from now on use the generic steps whatever the
/// bandwidth (true), or the narrow- and medium-band ones again (false), so that
/// tests can compare them. Not for use while a solve is running.
void force_generic_steps(bool generic);

}  // namespace velqo::testing
