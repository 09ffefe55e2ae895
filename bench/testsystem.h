// The benchmark's test system: a symmetric positive-definite band matrix in band
// storage, a random reference solution x from a fixed seed and the right-hand
// sides b = a·x. Every call rebuilds the bit-identical system.
#pragma once

#include <cstdint>

namespace bench {

/// Fills the band matrix a (n + (n − 1)·m elements), the reference solution x
/// and the right-hand sides b = a·x (n × nrhs each, leading dimension n).
void generatedata(float* a, float* b, float* x, const int& n, const int& m, const int& nrhs);

/// Fills one part of the same system, bit for bit: the band columns of rows
/// first … first + rows − 1 into a ((m + 1)·rows elements, the columns m + 1
/// apart; positions of rows beyond n hold no matrix entry), and those rows of
/// the reference solution x and the right-hand sides b (rows × nrhs each,
/// leading dimension rows). The work is that of the rows, not of the system: the
/// matrix entries are a fixed pattern, and the generator skips to the rows'
/// draws. Besides the arrays it allocates (m + 1 + nrhs)·(rows + 2·m) elements
/// of scratch. Leaves the generator in an unspecified state.
void generaterows(float* a, float* b, float* x, const int& n, const int& m, const int& nrhs, const int& first,
                  const int& rows);

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
/// Advances the generator as count calls of uniform_random would, in constant time.
void random_skip(const std::int64_t& count);

}  // namespace bench
