// Random numbers that are the same on every build, machine and number of threads: the
// counter-based generator Philox4x32-10 (Salmon, Moraes, Dror and Shaw 2011, "Parallel random
// numbers: as easy as 1, 2, 3"), one stream per (seed, stream number), and samplers of fixed,
// published algorithms on top of it. Nothing here uses the distributions of <random>, whose
// algorithms differ between standard libraries.
#pragma once

#include <array>
#include <cstdint>

namespace zeph::estimate {

// Philox4x32 with 10 rounds: four 32-bit words of output per 128-bit counter under a 64-bit key.
std::array<std::uint32_t, 4> philox4x32_10(std::array<std::uint32_t, 4> counter,
                                           std::array<std::uint32_t, 2> key);

// One stream of random numbers: the outputs of Philox for the counters (i, stream) with i = 0,
// 1, 2, ..., under the key `seed`.
class Stream {
 public:
  Stream(std::uint64_t seed, std::uint64_t stream) noexcept;
  // 64 random bits.
  std::uint64_t bits() noexcept;
  // A uniform double in [0, 1), a multiple of 2^-53.
  double uniform() noexcept;
  // A uniform double in (0, 1).
  double open_uniform() noexcept;

 private:
  std::array<std::uint32_t, 2> key_;
  std::uint64_t stream_;
  std::uint64_t next_ = 0;
  std::array<std::uint32_t, 4> block_{};
  int used_ = 4;  // 32-bit words of block_ handed out
};

// An exact draw from Binomial(n, p), n up to 2^53: by inversion where n * min(p, 1 - p) < 10, and
// otherwise by BTRD (Hormann 1993, "The generation of binomial random variates"), whose expected
// time does not grow with n.
double binomial(double n, double p, Stream& random);

}  // namespace zeph::estimate
