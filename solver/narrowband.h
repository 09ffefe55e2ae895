// Specialised numerical steps for narrow bands.
//
// For half bandwidths 1 … max_specialised the block factorisation and the block
// steps of the solve kernel run in variants compiled for that bandwidth: their
// loops over the band have fixed lengths and run across the independent columns
// (spike columns, right-hand sides) in registers. They perform, for every
// element, the same operations in the same order as the generic steps, so both
// give bitwise the same results. Wider bands use the generic steps.
#pragma once

namespace velqo {

/// Widest band with specialised steps.
inline constexpr int max_specialised = 16;

/// Whether the kernels use the specialised steps for half bandwidth m (read
/// once per kernel call).
bool use_specialised(int m);

}  // namespace velqo

namespace velqo::testing {

/// Makes every kernel call from now on use the generic steps whatever the
/// bandwidth (true), or the specialised ones again (false), so that tests can
/// compare the two. Not for use while a solve is running.
void force_generic_steps(bool generic);

}  // namespace velqo::testing
