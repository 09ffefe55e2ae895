// The benchmark's test system: a symmetric positive-definite band matrix in band
// storage, a random reference solution x from a fixed seed and the right-hand
// sides b = a·x. Every call rebuilds the bit-identical system.
#pragma once

namespace bench {

/// Fills the band matrix a (n + (n − 1)·m elements), the reference solution x
/// and the right-hand sides b = a·x (n × nrhs each, leading dimension n).
void generatedata(float* a, float* b, float* x, const int& n, const int& m, const int& nrhs);

/// Replaces the lower band L held in a by the lower band of L·Lᵀ.
void makepositive_cb_4(float* a, const int& n, const int& m);
void makepositive_cb_8(double* a, const int& n, const int& m);

/// Resets the uniform generator to the fixed seed.
void ini_random();

/// The seed table; a generator whose seed has K integers takes the first K.
inline constexpr int seed_table[8] = {12345678, 87654321, 23456781, 76543218,
                                      34567812, 65432187, 45678123, 54321876};

/// Number of integers that make up the generator's seed.
int random_seed_size();
/// Puts the first random_seed_size() integers of seed as the generator's seed.
void random_put_seed(const int* seed);
/// The next uniform random number, in [0, 1) (never 1).
float uniform_random();

}  // namespace bench
