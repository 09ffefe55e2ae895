// Module def_velqo: the grain sizes from which a solve derives its block length.
//
// The first grain rule that runs in a program fixes all three sizes for the rest
// of the run; every later call of any rule returns at once.
#pragma once

namespace velqo::def_velqo {

/// First grain size: the solve entries take their block length from it; 0 until
/// a rule has run.
extern int grainsize;
/// Second and third grain sizes, set by the rules and kept for callers.
extern int grainsize2;
extern int grainsize3;

/// The module's initialisation; it has nothing to do.
void def_velqo();

/// Grain rule of the real entries: 24, 12, 8.
void requiregrainsize();
/// Grain rule of the complex entries: 16, 8, 6 with at most two tasks, else 8, 6, 4.
void requiregrainsizeforcomplex();
/// Grain rule of a further precision: 8, 6, 4.
void requiregrainsizeforqp();

}  // namespace velqo::def_velqo
