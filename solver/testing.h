// Seams of the library's program-wide state, for the tests only.
//
// The task-count rules cap the task count at the machine's processor count, and
// the first grain rule fixes the grain sizes for the whole run. Tests that need
// more tasks than the machine has processors, or that check the order of first
// calls, use these to set the scene; the library itself never calls them.
#pragma once

namespace velqo::testing {

/// Makes the task-count rules see count processors instead of the machine's
/// (count ≤ 0 restores the machine's count).
void override_processor_count(int count);

/// Makes the task-count rules ask ask(count) for the processor count instead of
/// the runtime's getcpus, whatever it answers (0 and negative answers
/// included), so that tests can see when the rules ask; nullptr asks getcpus
/// again. Takes precedence over override_processor_count.
void ask_processor_count_with(void (*ask)(int& count));

/// Returns the task count and the grain sizes to their state at program start.
void reset_library_state();

/// Makes the generic block steps of the parallel solve use their plain loops
/// (true) instead of the register-blocked kernels, or the kernels again
/// (false), so that tests can compare the two. Not for use while a solve runs.
void force_plain_products(bool plain);

/// Makes the kernels that have a variant in 64-byte vectors (AVX-512) keep to
/// 32-byte ones (true), or use the wider ones again where the processor has
/// them (false), so that tests can check both. Not for use while a solve runs.
void force_narrow_vectors(bool narrow);

}  // namespace velqo::testing
