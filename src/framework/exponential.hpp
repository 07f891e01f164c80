// The single-precision exponential every decoding path uses. It returns the
// correctly rounded exp(x) for every float x, so results never depend on the
// platform's math library (expf differs between C runtimes in the last bit).
// tools/exp_check compares it with MPFR over all 2^32 inputs, and the lanes
// form with the scalar one.
//
// Fast path: exp in double with an error below 2^-42.5 relative, then
// rounded to float. That rounding is right unless the double lies within the
// error of a float midpoint; those inputs (about 4 in a million) are seen in
// the double's bits and take the slow path, which carries the result as a sum
// of two doubles (about 2^-59) and rounds it through round-to-odd. No library
// call, no fused operation (the build passes -ffp-contract=off), only double
// operations that IEEE 754 defines exactly, so every platform gives the same
// bits. HACKING.md ("The exponential") gives the error budget.
#ifndef QUELT_FRAMEWORK_EXPONENTIAL_HPP
#define QUELT_FRAMEWORK_EXPONENTIAL_HPP

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) && defined(__x86_64__)
#define QUELT_EXP_SSE2 1
#include <emmintrin.h>
#elif defined(__aarch64__) && defined(__ARM_NEON)
#include <arm_neon.h>
#endif
// The AVX2 lanes form, chosen at run time (rounded_exp_4_avx2): GCC and clang
// on x86-64 only.
#if defined(QUELT_EXP_SSE2) && (defined(__GNUC__) || defined(__clang__))
#define QUELT_FRAMEWORK_EXP_AVX2 1
#include <immintrin.h>
#endif
// The AVX-512 form (rounded_exp_n): not on Windows, where GCC may spill the
// 64-byte registers to a stack it cannot align; AVX2 serves there.
#if defined(QUELT_FRAMEWORK_EXP_AVX2) && !defined(_WIN32)
#define QUELT_FRAMEWORK_EXP_AVX512 1
#endif

namespace sorvanta::framework {

namespace exponential_detail {

// 2^(j/64) as an unevaluated sum hi + lo, hi the nearest double.
struct split {
  double hi;
  double lo;
};
inline constexpr split powers_of_two[64] = {
    {0x1.0000000000000p+0, 0x0.0p+0},
    {0x1.02c9a3e778061p+0, -0x1.19083535b085dp-56},
    {0x1.059b0d3158574p+0, 0x1.d73e2a475b465p-55},
    {0x1.0874518759bc8p+0, 0x1.186be4bb284ffp-57},
    {0x1.0b5586cf9890fp+0, 0x1.8a62e4adc610bp-54},
    {0x1.0e3ec32d3d1a2p+0, 0x1.03a1727c57b53p-59},
    {0x1.11301d0125b51p+0, -0x1.6c51039449b3ap-54},
    {0x1.1429aaea92de0p+0, -0x1.32fbf9af1369ep-54},
    {0x1.172b83c7d517bp+0, -0x1.19041b9d78a76p-55},
    {0x1.1a35beb6fcb75p+0, 0x1.e5b4c7b4968e4p-55},
    {0x1.1d4873168b9aap+0, 0x1.e016e00a2643cp-54},
    {0x1.2063b88628cd6p+0, 0x1.dc775814a8495p-55},
    {0x1.2387a6e756238p+0, 0x1.9b07eb6c70573p-54},
    {0x1.26b4565e27cddp+0, 0x1.2bd339940e9d9p-55},
    {0x1.29e9df51fdee1p+0, 0x1.612e8afad1255p-55},
    {0x1.2d285a6e4030bp+0, 0x1.0024754db41d5p-54},
    {0x1.306fe0a31b715p+0, 0x1.6f46ad23182e4p-55},
    {0x1.33c08b26416ffp+0, 0x1.32721843659a6p-54},
    {0x1.371a7373aa9cbp+0, -0x1.63aeabf42eae2p-54},
    {0x1.3a7db34e59ff7p+0, -0x1.5e436d661f5e3p-56},
    {0x1.3dea64c123422p+0, 0x1.ada0911f09ebcp-55},
    {0x1.4160a21f72e2ap+0, -0x1.ef3691c309278p-58},
    {0x1.44e086061892dp+0, 0x1.89b7a04ef80d0p-59},
    {0x1.486a2b5c13cd0p+0, 0x1.3c1a3b69062f0p-56},
    {0x1.4bfdad5362a27p+0, 0x1.d4397afec42e2p-56},
    {0x1.4f9b2769d2ca7p+0, -0x1.4b309d25957e3p-54},
    {0x1.5342b569d4f82p+0, -0x1.07abe1db13cadp-55},
    {0x1.56f4736b527dap+0, 0x1.9bb2c011d93adp-54},
    {0x1.5ab07dd485429p+0, 0x1.6324c054647adp-54},
    {0x1.5e76f15ad2148p+0, 0x1.ba6f93080e65ep-54},
    {0x1.6247eb03a5585p+0, -0x1.383c17e40b497p-54},
    {0x1.6623882552225p+0, -0x1.bb60987591c34p-54},
    {0x1.6a09e667f3bcdp+0, -0x1.bdd3413b26456p-54},
    {0x1.6dfb23c651a2fp+0, -0x1.bbe3a683c88abp-57},
    {0x1.71f75e8ec5f74p+0, -0x1.16e4786887a99p-55},
    {0x1.75feb564267c9p+0, -0x1.0245957316dd3p-54},
    {0x1.7a11473eb0187p+0, -0x1.41577ee04992fp-55},
    {0x1.7e2f336cf4e62p+0, 0x1.05d02ba15797ep-56},
    {0x1.82589994cce13p+0, -0x1.d4c1dd41532d8p-54},
    {0x1.868d99b4492edp+0, -0x1.fc6f89bd4f6bap-54},
    {0x1.8ace5422aa0dbp+0, 0x1.6e9f156864b27p-54},
    {0x1.8f1ae99157736p+0, 0x1.5cc13a2e3976cp-55},
    {0x1.93737b0cdc5e5p+0, -0x1.75fc781b57ebcp-57},
    {0x1.97d829fde4e50p+0, -0x1.d185b7c1b85d1p-54},
    {0x1.9c49182a3f090p+0, 0x1.c7c46b071f2bep-56},
    {0x1.a0c667b5de565p+0, -0x1.359495d1cd533p-54},
    {0x1.a5503b23e255dp+0, -0x1.d2f6edb8d41e1p-54},
    {0x1.a9e6b5579fdbfp+0, 0x1.0fac90ef7fd31p-54},
    {0x1.ae89f995ad3adp+0, 0x1.7a1cd345dcc81p-54},
    {0x1.b33a2b84f15fbp+0, -0x1.2805e3084d708p-57},
    {0x1.b7f76f2fb5e47p+0, -0x1.5584f7e54ac3bp-56},
    {0x1.bcc1e904bc1d2p+0, 0x1.23dd07a2d9e84p-55},
    {0x1.c199bdd85529cp+0, 0x1.11065895048ddp-55},
    {0x1.c67f12e57d14bp+0, 0x1.2884dff483cadp-54},
    {0x1.cb720dcef9069p+0, 0x1.503cbd1e949dbp-56},
    {0x1.d072d4a07897cp+0, -0x1.cbc3743797a9cp-54},
    {0x1.d5818dcfba487p+0, 0x1.2ed02d75b3707p-55},
    {0x1.da9e603db3285p+0, 0x1.c2300696db532p-54},
    {0x1.dfc97337b9b5fp+0, -0x1.1a5cd4f184b5cp-54},
    {0x1.e502ee78b3ff6p+0, 0x1.39e8980a9cc8fp-55},
    {0x1.ea4afa2a490dap+0, -0x1.e9c23179c2893p-54},
    {0x1.efa1bee615a27p+0, 0x1.dc7f486a4b6b0p-54},
    {0x1.f50765b6e4540p+0, 0x1.9d3e12dd8a18bp-54},
    {0x1.fa7c1819e90d8p+0, 0x1.74853f3a5931ep-55},
};

// ln(2) / 64 split so that k * hi is exact for every |k| below 2^14.
inline constexpr double ln2_64_hi = 0x1.62e42fefa4000p-7;
inline constexpr double ln2_64_lo = -0x1.8432a1b0e2634p-49;
inline constexpr double inv_ln2_64 = 0x1.71547652b82fep+6;
// Adding it rounds a double below 2^51 in magnitude to an integer (ties to
// even), which then sits in the low bits of the sum: a floor without a call.
inline constexpr double round_shift = 0x1.8p52;

// The fast path's table: 2^(j/256), each the nearest double.
inline constexpr double fast_powers[256] = {
    0x1.0000000000000p+0, 0x1.00b1afa5abcbfp+0, 0x1.0163da9fb3335p+0, 0x1.02168143b0281p+0,
    0x1.02c9a3e778061p+0, 0x1.037d42e11bbccp+0, 0x1.04315e86e7f85p+0, 0x1.04e5f72f654b1p+0,
    0x1.059b0d3158574p+0, 0x1.0650a0e3c1f89p+0, 0x1.0706b29ddf6dep+0, 0x1.07bd42b72a836p+0,
    0x1.0874518759bc8p+0, 0x1.092bdf66607e0p+0, 0x1.09e3ecac6f383p+0, 0x1.0a9c79b1f3919p+0,
    0x1.0b5586cf9890fp+0, 0x1.0c0f145e46c85p+0, 0x1.0cc922b7247f7p+0, 0x1.0d83b23395decp+0,
    0x1.0e3ec32d3d1a2p+0, 0x1.0efa55fdfa9c5p+0, 0x1.0fb66affed31bp+0, 0x1.1073028d7233ep+0,
    0x1.11301d0125b51p+0, 0x1.11edbab5e2ab6p+0, 0x1.12abdc06c31ccp+0, 0x1.136a814f204abp+0,
    0x1.1429aaea92de0p+0, 0x1.14e95934f312ep+0, 0x1.15a98c8a58e51p+0, 0x1.166a45471c3c2p+0,
    0x1.172b83c7d517bp+0, 0x1.17ed48695bbc0p+0, 0x1.18af9388c8deap+0, 0x1.1972658375d2fp+0,
    0x1.1a35beb6fcb75p+0, 0x1.1af99f8138a1cp+0, 0x1.1bbe084045cd4p+0, 0x1.1c82f95281c6bp+0,
    0x1.1d4873168b9aap+0, 0x1.1e0e75eb44027p+0, 0x1.1ed5022fcd91dp+0, 0x1.1f9c18438ce4dp+0,
    0x1.2063b88628cd6p+0, 0x1.212be3578a819p+0, 0x1.21f49917ddc96p+0, 0x1.22bdda27912d1p+0,
    0x1.2387a6e756238p+0, 0x1.2451ffb82140ap+0, 0x1.251ce4fb2a63fp+0, 0x1.25e85711ece75p+0,
    0x1.26b4565e27cddp+0, 0x1.2780e341ddf29p+0, 0x1.284dfe1f56381p+0, 0x1.291ba7591bb70p+0,
    0x1.29e9df51fdee1p+0, 0x1.2ab8a66d10f13p+0, 0x1.2b87fd0dad990p+0, 0x1.2c57e39771b2fp+0,
    0x1.2d285a6e4030bp+0, 0x1.2df961f641589p+0, 0x1.2ecafa93e2f56p+0, 0x1.2f9d24abd886bp+0,
    0x1.306fe0a31b715p+0, 0x1.31432edeeb2fdp+0, 0x1.32170fc4cd831p+0, 0x1.32eb83ba8ea32p+0,
    0x1.33c08b26416ffp+0, 0x1.3496266e3fa2dp+0, 0x1.356c55f929ff1p+0, 0x1.36431a2de883bp+0,
    0x1.371a7373aa9cbp+0, 0x1.37f26231e754ap+0, 0x1.38cae6d05d866p+0, 0x1.39a401b7140efp+0,
    0x1.3a7db34e59ff7p+0, 0x1.3b57fbfec6cf4p+0, 0x1.3c32dc313a8e5p+0, 0x1.3d0e544ede173p+0,
    0x1.3dea64c123422p+0, 0x1.3ec70df1c5175p+0, 0x1.3fa4504ac801cp+0, 0x1.40822c367a024p+0,
    0x1.4160a21f72e2ap+0, 0x1.423fb2709468ap+0, 0x1.431f5d950a897p+0, 0x1.43ffa3f84b9d4p+0,
    0x1.44e086061892dp+0, 0x1.45c2042a7d232p+0, 0x1.46a41ed1d0057p+0, 0x1.4786d668b3237p+0,
    0x1.486a2b5c13cd0p+0, 0x1.494e1e192aed2p+0, 0x1.4a32af0d7d3dep+0, 0x1.4b17dea6db7d7p+0,
    0x1.4bfdad5362a27p+0, 0x1.4ce41b817c114p+0, 0x1.4dcb299fddd0dp+0, 0x1.4eb2d81d8abffp+0,
    0x1.4f9b2769d2ca7p+0, 0x1.508417f4531eep+0, 0x1.516daa2cf6642p+0, 0x1.5257de83f4eefp+0,
    0x1.5342b569d4f82p+0, 0x1.542e2f4f6ad27p+0, 0x1.551a4ca5d920fp+0, 0x1.56070dde910d2p+0,
    0x1.56f4736b527dap+0, 0x1.57e27dbe2c4cfp+0, 0x1.58d12d497c7fdp+0, 0x1.59c0827ff07ccp+0,
    0x1.5ab07dd485429p+0, 0x1.5ba11fba87a03p+0, 0x1.5c9268a5946b7p+0, 0x1.5d84590998b93p+0,
    0x1.5e76f15ad2148p+0, 0x1.5f6a320dceb71p+0, 0x1.605e1b976dc09p+0, 0x1.6152ae6cdf6f4p+0,
    0x1.6247eb03a5585p+0, 0x1.633dd1d1929fdp+0, 0x1.6434634ccc320p+0, 0x1.652b9febc8fb7p+0,
    0x1.6623882552225p+0, 0x1.671c1c70833f6p+0, 0x1.68155d44ca973p+0, 0x1.690f4b19e9538p+0,
    0x1.6a09e667f3bcdp+0, 0x1.6b052fa75173ep+0, 0x1.6c012750bdabfp+0, 0x1.6cfdcddd47645p+0,
    0x1.6dfb23c651a2fp+0, 0x1.6ef9298593ae5p+0, 0x1.6ff7df9519484p+0, 0x1.70f7466f42e87p+0,
    0x1.71f75e8ec5f74p+0, 0x1.72f8286ead08ap+0, 0x1.73f9a48a58174p+0, 0x1.74fbd35d7cbfdp+0,
    0x1.75feb564267c9p+0, 0x1.77024b1ab6e09p+0, 0x1.780694fde5d3fp+0, 0x1.790b938ac1cf6p+0,
    0x1.7a11473eb0187p+0, 0x1.7b17b0976cfdbp+0, 0x1.7c1ed0130c132p+0, 0x1.7d26a62ff86f0p+0,
    0x1.7e2f336cf4e62p+0, 0x1.7f3878491c491p+0, 0x1.80427543e1a12p+0, 0x1.814d2add106d9p+0,
    0x1.82589994cce13p+0, 0x1.8364c1eb941f7p+0, 0x1.8471a4623c7adp+0, 0x1.857f4179f5b21p+0,
    0x1.868d99b4492edp+0, 0x1.879cad931a436p+0, 0x1.88ac7d98a6699p+0, 0x1.89bd0a478580fp+0,
    0x1.8ace5422aa0dbp+0, 0x1.8be05bad61778p+0, 0x1.8cf3216b5448cp+0, 0x1.8e06a5e0866d9p+0,
    0x1.8f1ae99157736p+0, 0x1.902fed0282c8ap+0, 0x1.9145b0b91ffc6p+0, 0x1.925c353aa2fe2p+0,
    0x1.93737b0cdc5e5p+0, 0x1.948b82b5f98e5p+0, 0x1.95a44cbc8520fp+0, 0x1.96bdd9a7670b3p+0,
    0x1.97d829fde4e50p+0, 0x1.98f33e47a22a2p+0, 0x1.9a0f170ca07bap+0, 0x1.9b2bb4d53fe0dp+0,
    0x1.9c49182a3f090p+0, 0x1.9d674194bb8d5p+0, 0x1.9e86319e32323p+0, 0x1.9fa5e8d07f29ep+0,
    0x1.a0c667b5de565p+0, 0x1.a1e7aed8eb8bbp+0, 0x1.a309bec4a2d33p+0, 0x1.a42c980460ad8p+0,
    0x1.a5503b23e255dp+0, 0x1.a674a8af46052p+0, 0x1.a799e1330b358p+0, 0x1.a8bfe53c12e59p+0,
    0x1.a9e6b5579fdbfp+0, 0x1.ab0e521356ebap+0, 0x1.ac36bbfd3f37ap+0, 0x1.ad5ff3a3c2774p+0,
    0x1.ae89f995ad3adp+0, 0x1.afb4ce622f2ffp+0, 0x1.b0e07298db666p+0, 0x1.b20ce6c9a8952p+0,
    0x1.b33a2b84f15fbp+0, 0x1.b468415b749b1p+0, 0x1.b59728de5593ap+0, 0x1.b6c6e29f1c52ap+0,
    0x1.b7f76f2fb5e47p+0, 0x1.b928cf22749e4p+0, 0x1.ba5b030a1064ap+0, 0x1.bb8e0b79a6f1fp+0,
    0x1.bcc1e904bc1d2p+0, 0x1.bdf69c3f3a207p+0, 0x1.bf2c25bd71e09p+0, 0x1.c06286141b33dp+0,
    0x1.c199bdd85529cp+0, 0x1.c2d1cd9fa652cp+0, 0x1.c40ab5fffd07ap+0, 0x1.c544778fafb22p+0,
    0x1.c67f12e57d14bp+0, 0x1.c7ba88988c933p+0, 0x1.c8f6d9406e7b5p+0, 0x1.ca3405751c4dbp+0,
    0x1.cb720dcef9069p+0, 0x1.ccb0f2e6d1675p+0, 0x1.cdf0b555dc3fap+0, 0x1.cf3155b5bab74p+0,
    0x1.d072d4a07897cp+0, 0x1.d1b532b08c968p+0, 0x1.d2f87080d89f2p+0, 0x1.d43c8eacaa1d6p+0,
    0x1.d5818dcfba487p+0, 0x1.d6c76e862e6d3p+0, 0x1.d80e316c98398p+0, 0x1.d955d71ff6075p+0,
    0x1.da9e603db3285p+0, 0x1.dbe7cd63a8315p+0, 0x1.dd321f301b460p+0, 0x1.de7d5641c0658p+0,
    0x1.dfc97337b9b5fp+0, 0x1.e11676b197d17p+0, 0x1.e264614f5a129p+0, 0x1.e3b333b16ee12p+0,
    0x1.e502ee78b3ff6p+0, 0x1.e653924676d76p+0, 0x1.e7a51fbc74c83p+0, 0x1.e8f7977cdb740p+0,
    0x1.ea4afa2a490dap+0, 0x1.eb9f4867cca6ep+0, 0x1.ecf482d8e67f1p+0, 0x1.ee4aaa2188510p+0,
    0x1.efa1bee615a27p+0, 0x1.f0f9c1cb6412ap+0, 0x1.f252b376bba97p+0, 0x1.f3ac948dd7274p+0,
    0x1.f50765b6e4540p+0, 0x1.f6632798844f8p+0, 0x1.f7bfdad9cbe14p+0, 0x1.f91d802243c89p+0,
    0x1.fa7c1819e90d8p+0, 0x1.fbdba3692d514p+0, 0x1.fd3c22b8f71f1p+0, 0x1.fe9d96b2a23d9p+0,
};
// 2^(16a/256) for a = 0..15, each the nearest double (fast_powers[16a]).
// With fast_powers[0..15] it gives 2^(j/256) as a product of two entries,
// which the AVX-512 form finds in registers rather than in memory.
inline constexpr double sixteenths[16] = {
    fast_powers[0],   fast_powers[16],  fast_powers[32],  fast_powers[48],
    fast_powers[64],  fast_powers[80],  fast_powers[96],  fast_powers[112],
    fast_powers[128], fast_powers[144], fast_powers[160], fast_powers[176],
    fast_powers[192], fast_powers[208], fast_powers[224], fast_powers[240],
};
// ln(2) / 256 and its inverse, each the nearest double.
inline constexpr double ln2_256 = 0x1.62e42fefa39efp-9;
inline constexpr double inv_ln2_256 = 0x1.71547652b82fep+8;

// The fast path takes |x| < 87: its results are normal floats, far from both
// the subnormal range (below -87.34) and overflow (above 88.72).
inline constexpr float fast_limit = 87.0f;
// Of a double's 52 fraction bits the low 29 lie below a float's last; a float
// midpoint has them equal to 2^28. The fast result is within 1,390 units of
// its last place of exp(x); within `tolerance` of a midpoint it is not
// trusted.
inline constexpr std::uint64_t below_float = (std::uint64_t{1} << 29) - 1;
inline constexpr std::uint64_t midpoint = std::uint64_t{1} << 28;
inline constexpr std::uint64_t tolerance = 4096;

inline std::uint64_t bits_of(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

inline double double_of(std::uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// exp(r) - 1 for |r| <= ln(2)/512 (with a hair of rounding), Taylor to r^3:
// the first term left out is below 2^-42.7.
inline double expm1_small(double r) {
  return r + r * r * (0x1p-1 + r * (1.0 / 6.0));
}

// Whether the double `bits` (exp(x) within the fast path's error) may round
// to a different float than exp(x) itself.
inline bool near_float_midpoint(std::uint64_t bits) {
  return ((bits - (midpoint - tolerance)) & below_float) <= 2 * tolerance;
}

// The fast path's double 2^(j/256) * exp(r), as bits, for |x| < 87, with
// k = 256m + j the integer nearest 256x / ln(2) and r = x - k ln(2)/256;
// `k` receives k in two's complement.
inline std::uint64_t fast_exp_bits(float x, std::uint64_t& k) {
  const double xd = x;
  const double shifted = xd * inv_ln2_256 + round_shift;
  const double r = xd - (shifted - round_shift) * ln2_256;
  k = bits_of(shifted) - bits_of(round_shift);
  const double t = fast_powers[k & 255];
  return bits_of(t + t * expm1_small(r));
}

// The slow path, for inputs near a rounding boundary and outside the fast
// range: exp(x) = 2^m * 2^(j/64) * exp(r), the sum carried as s + e (about
// 2^-59 relative error) and rounded to float through the double nearest it
// with an odd last bit, which double rounding cannot spoil: a float midpoint
// is never reached by mistake.
#if defined(__GNUC__)
__attribute__((noinline, cold))
#endif
inline float
exact_exp(float x) noexcept {
  if (!(x > -104.0f)) {
    // Below -104 the result is under half the smallest subnormal.
    return x != x ? x + x : 0.0f;
  }
  if (x > 89.0f) {
    return HUGE_VALF;
  }
  const double xd = x;
  const double shifted = xd * inv_ln2_64 + round_shift;
  const double k = shifted - round_shift;
  const double r = (xd - k * ln2_64_hi) - k * ln2_64_lo;
  const std::uint64_t ki = bits_of(shifted) - bits_of(round_shift);  // k, two's complement
  const split t = powers_of_two[ki & 63];

  const double p =
      r +
      r * r * (0x1p-1 + r * (1.0 / 6.0 + r * (1.0 / 24.0 + r * (1.0 / 120.0 + r * (1.0 / 720.0)))));
  const double q = t.hi * p + t.lo;
  const double s = t.hi + q;
  const double e = (t.hi - s) + q;

  // 2^m is a normal double for every m here (-151 <= m <= 129).
  const double scale = double_of(((ki & ~std::uint64_t{63}) << 46) + (std::uint64_t{1023} << 52));
  const double hi = s * scale;
  const double lo = e * scale;
  // Round to odd without a branch: whether the last bit is even is a coin
  // toss, which a branch would mispredict half the time.
  const std::uint64_t bits = bits_of(hi);
  const std::uint64_t step = (~bits & 1) & static_cast<std::uint64_t>(lo != 0.0);
  const std::uint64_t up = static_cast<std::uint64_t>(lo > 0.0);
  // +1 toward a positive lo, -1 (as 2^64 - 1) toward a negative one.
  return static_cast<float>(double_of(bits + step * (up + up - 1)));
}

// The lanes marked in `redo` (bit i for lane i) recomputed by the slow path
// from the inputs `given` (saved: `out` may be the input array).
inline void redo_lanes(unsigned redo, const float* given, float* out) noexcept {
  while (redo != 0) {
    const int lane = __builtin_ctz(redo);
    out[lane] = exact_exp(given[lane]);
    redo &= redo - 1;
  }
}

}  // namespace exponential_detail

// exp(x) = 2^m * 2^(j/256) * exp(r) (see exponential_detail).
inline float rounded_exp(float x) noexcept {
  using namespace exponential_detail;
  if (std::fabs(x) < fast_limit) {
    std::uint64_t k = 0;
    const std::uint64_t y = fast_exp_bits(x, k);
    if (!near_float_midpoint(y)) {
      // 2^m enters the exponent field: the result stays a normal double.
      return static_cast<float>(double_of(y + ((k & ~std::uint64_t{255}) << 44)));
    }
  }
  return exact_exp(x);
}

// rounded_exp of four floats at once: out[i] = rounded_exp(in[i]), the same
// bits (the same double operations, two lanes at a time with SSE2 on x86-64
// and NEON on aarch64, the scalar function elsewhere); lanes outside the fast
// range or near a rounding boundary take the slow path. `in` and `out` may be
// the same array.
inline void rounded_exp_4(const float* in, float* out) noexcept {
  using namespace exponential_detail;
#if defined(QUELT_EXP_SSE2)
  const __m128 x = _mm_loadu_ps(in);
  float given[4];
  _mm_storeu_ps(given, x);
  const __m128 magnitude = _mm_andnot_ps(_mm_set1_ps(-0.0f), x);
  const __m128 in_range = _mm_cmplt_ps(magnitude, _mm_set1_ps(fast_limit));
  // Lanes out of range compute exp(0) and are replaced below.
  const __m128 safe_x = _mm_and_ps(x, in_range);
  const __m128d inv = _mm_set1_pd(inv_ln2_256);
  const __m128d shift = _mm_set1_pd(round_shift);
  const __m128i shift_bits = _mm_castpd_si128(shift);
  const __m128d c2 = _mm_set1_pd(0x1p-1);
  const __m128d c3 = _mm_set1_pd(1.0 / 6.0);
  const __m128i low_bits = _mm_set1_epi32(static_cast<std::int32_t>(below_float));
  const __m128i lower = _mm_set1_epi32(static_cast<std::int32_t>(midpoint - tolerance));
  const __m128i width = _mm_set1_epi32(static_cast<std::int32_t>(2 * tolerance));
  __m128 halves[2];
  int trusted = 0;
  for (int h = 0; h < 2; ++h) {
    const __m128d xd = _mm_cvtps_pd(h == 0 ? safe_x : _mm_movehl_ps(safe_x, safe_x));
    const __m128d shifted = _mm_add_pd(_mm_mul_pd(xd, inv), shift);
    const __m128d r = _mm_sub_pd(xd, _mm_mul_pd(_mm_sub_pd(shifted, shift), _mm_set1_pd(ln2_256)));
    const __m128i ki = _mm_sub_epi64(_mm_castpd_si128(shifted), shift_bits);
    const auto k0 = static_cast<std::uint64_t>(_mm_cvtsi128_si64(ki));
    const auto k1 = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(ki, ki)));
    const __m128d t = _mm_set_pd(fast_powers[k1 & 255], fast_powers[k0 & 255]);
    const __m128d poly =
        _mm_add_pd(r, _mm_mul_pd(_mm_mul_pd(r, r), _mm_add_pd(c2, _mm_mul_pd(r, c3))));
    const __m128i y = _mm_castpd_si128(_mm_add_pd(t, _mm_mul_pd(t, poly)));
    // The low 32 bits of each lane hold the 29 that decide.
    const __m128i off = _mm_and_si128(_mm_sub_epi32(y, lower), low_bits);
    const int clear = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(off, width)));
    trusted |= ((clear & 1) | ((clear >> 1) & 2)) << (2 * h);
    const __m128i scale = _mm_slli_epi64(_mm_andnot_si128(_mm_set1_epi64x(255), ki), 44);
    halves[h] = _mm_cvtpd_ps(_mm_castsi128_pd(_mm_add_epi64(y, scale)));
  }
  _mm_storeu_ps(out, _mm_movelh_ps(halves[0], halves[1]));
  redo_lanes(static_cast<unsigned>(~(trusted & _mm_movemask_ps(in_range)) & 15), given, out);
#elif defined(__aarch64__) && defined(__ARM_NEON)
  const float32x4_t x = vld1q_f32(in);
  float given[4];
  vst1q_f32(given, x);
  // |x| < 87, false for NaN.
  const uint32x4_t in_range = vcaltq_f32(x, vdupq_n_f32(fast_limit));
  // Lanes out of range compute exp(0) and are replaced below.
  const float32x4_t safe_x = vreinterpretq_f32_u32(vandq_u32(vreinterpretq_u32_f32(x), in_range));
  // Separate multiplies and adds, never vfmaq: the scalar path rounds each
  // product before the sum.
  const float64x2_t inv = vdupq_n_f64(inv_ln2_256);
  const float64x2_t shift = vdupq_n_f64(round_shift);
  const uint64x2_t shift_bits = vreinterpretq_u64_f64(shift);
  const float64x2_t ln2 = vdupq_n_f64(ln2_256);
  const float64x2_t c2 = vdupq_n_f64(0x1p-1);
  const float64x2_t c3 = vdupq_n_f64(1.0 / 6.0);
  const uint64x2_t low_bits = vdupq_n_u64(below_float);
  const uint64x2_t lower = vdupq_n_u64(midpoint - tolerance);
  const uint64x2_t width = vdupq_n_u64(2 * tolerance);
  float64x2_t results[2];
  uint32x2_t near[2];
  for (int h = 0; h < 2; ++h) {
    const float64x2_t xd = h == 0 ? vcvt_f64_f32(vget_low_f32(safe_x)) : vcvt_high_f64_f32(safe_x);
    const float64x2_t shifted = vaddq_f64(vmulq_f64(xd, inv), shift);
    const float64x2_t r = vsubq_f64(xd, vmulq_f64(vsubq_f64(shifted, shift), ln2));
    const uint64x2_t ki = vsubq_u64(vreinterpretq_u64_f64(shifted), shift_bits);
    const double table[2] = {fast_powers[vgetq_lane_u64(ki, 0) & 255],
                             fast_powers[vgetq_lane_u64(ki, 1) & 255]};
    const float64x2_t t = vld1q_f64(table);
    const float64x2_t poly =
        vaddq_f64(r, vmulq_f64(vmulq_f64(r, r), vaddq_f64(c2, vmulq_f64(r, c3))));
    const uint64x2_t y = vreinterpretq_u64_f64(vaddq_f64(t, vmulq_f64(t, poly)));
    // near_float_midpoint, lane by lane (all-ones where near).
    const uint64x2_t off = vandq_u64(vsubq_u64(y, lower), low_bits);
    near[h] = vmovn_u64(vcleq_u64(off, width));
    // 2^m into the exponent field, as in rounded_exp.
    const uint64x2_t scale = vshlq_n_u64(vbicq_u64(ki, vdupq_n_u64(255)), 44);
    results[h] = vreinterpretq_f64_u64(vaddq_u64(y, scale));
  }
  vst1q_f32(out, vcvt_high_f32_f64(vcvt_f32_f64(results[0]), results[1]));
  // Lanes near a midpoint or out of range.
  const uint32x4_t redo = vornq_u32(vcombine_u32(near[0], near[1]), in_range);
  if (vmaxvq_u32(redo) != 0) {
    std::uint32_t lanes[4];
    vst1q_u32(lanes, redo);
    for (int lane = 0; lane < 4; ++lane) {
      if (lanes[lane] != 0) {
        out[lane] = exact_exp(given[lane]);
      }
    }
  }
#else
  for (int lane = 0; lane < 4; ++lane) {
    out[lane] = rounded_exp(in[lane]);
  }
#endif
}

#if defined(QUELT_FRAMEWORK_EXP_AVX2)
// Whether this processor runs rounded_exp_4_avx2.
inline bool avx2_available() noexcept {
  return __builtin_cpu_supports("avx2") != 0;
}

// rounded_exp_4 with the four lanes' double operations in one AVX2 register
// each: the same operations in the same order (no fused multiply-add: the
// target is AVX2 alone), so the same bits. Call it only where
// avx2_available().
__attribute__((target("avx2"))) inline void rounded_exp_4_avx2(const float* in,
                                                               float* out) noexcept {
  using namespace exponential_detail;
  const __m128 x = _mm_loadu_ps(in);
  float given[4];
  _mm_storeu_ps(given, x);
  const __m128 magnitude = _mm_andnot_ps(_mm_set1_ps(-0.0f), x);
  const __m128 in_range = _mm_cmplt_ps(magnitude, _mm_set1_ps(fast_limit));
  // Lanes out of range compute exp(0) and are replaced below.
  const __m256d xd = _mm256_cvtps_pd(_mm_and_ps(x, in_range));
  const __m256d shift = _mm256_set1_pd(round_shift);
  const __m256d shifted = _mm256_add_pd(_mm256_mul_pd(xd, _mm256_set1_pd(inv_ln2_256)), shift);
  const __m256d r =
      _mm256_sub_pd(xd, _mm256_mul_pd(_mm256_sub_pd(shifted, shift), _mm256_set1_pd(ln2_256)));
  const __m256i ki = _mm256_sub_epi64(_mm256_castpd_si256(shifted), _mm256_castpd_si256(shift));
  const __m256d t =
      _mm256_i64gather_pd(fast_powers, _mm256_and_si256(ki, _mm256_set1_epi64x(255)), 8);
  const __m256d poly = _mm256_add_pd(
      r, _mm256_mul_pd(
             _mm256_mul_pd(r, r),
             _mm256_add_pd(_mm256_set1_pd(0x1p-1), _mm256_mul_pd(r, _mm256_set1_pd(1.0 / 6.0)))));
  const __m256i y = _mm256_castpd_si256(_mm256_add_pd(t, _mm256_mul_pd(t, poly)));
  // The low 32 bits of each lane (the even ones) hold the 29 that decide.
  const __m256i off = _mm256_and_si256(
      _mm256_sub_epi32(y, _mm256_set1_epi32(static_cast<std::int32_t>(midpoint - tolerance))),
      _mm256_set1_epi32(static_cast<std::int32_t>(below_float)));
  const int clear = _mm256_movemask_ps(_mm256_castsi256_ps(
      _mm256_cmpgt_epi32(off, _mm256_set1_epi32(static_cast<std::int32_t>(2 * tolerance)))));
  const int trusted = (clear & 1) | ((clear >> 1) & 2) | ((clear >> 2) & 4) | ((clear >> 3) & 8);
  const __m256i scale = _mm256_slli_epi64(_mm256_andnot_si256(_mm256_set1_epi64x(255), ki), 44);
  _mm_storeu_ps(out, _mm256_cvtpd_ps(_mm256_castsi256_pd(_mm256_add_epi64(y, scale))));
  redo_lanes(static_cast<unsigned>(~(trusted & _mm_movemask_ps(in_range)) & 15), given, out);
}
#endif

#if defined(QUELT_FRAMEWORK_EXP_AVX512)
// Whether this processor runs the AVX-512 form of rounded_exp_n.
inline bool avx512_available() noexcept {
  return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512vl") != 0;
}

// rounded_exp of eight floats with the fast path's double operations in one
// 512-bit register, the scalar function's except in two ways. t: 2^(j/256)
// is the product of sixteenths[j / 16] and fast_powers[j % 16], two lookups
// in registers instead of a gather; that product is within 1.5 units of its
// last place of 2^(j/256), where the nearest double is within half a unit.
// And a multiply followed by an add is one fused operation, one rounding
// fewer. The fast result stays within 1,392 units of exp(x) (HACKING.md,
// "The exponential"), well inside the tolerance, so the rounding test still
// picks out every input it could round wrongly and the floats are the scalar
// function's (tools/exp_check --lanes compares all 2^32). `lanes` masks the
// inputs to read and outputs to write. Always inlined into the loop below,
// which then loads the constants once and makes no call per eight lanes.
__attribute__((target("avx512f,avx512vl"), always_inline)) inline void rounded_exp_8_avx512(
    const float* in, float* out, __mmask8 lanes) noexcept {
  using namespace exponential_detail;
  const __m256 x = _mm256_maskz_loadu_ps(lanes, in);
  float given[8];  // `out` may be `in`
  _mm256_storeu_ps(given, x);
  const __m256 magnitude = _mm256_andnot_ps(_mm256_set1_ps(-0.0f), x);
  const __mmask8 in_range = _mm256_cmp_ps_mask(magnitude, _mm256_set1_ps(fast_limit), _CMP_LT_OQ);
  // Lanes out of range compute exp(0) and are replaced below.
  const __m512d xd = _mm512_maskz_cvtps_pd(0xff, _mm256_maskz_mov_ps(in_range, x));
  const __m512d shift = _mm512_set1_pd(round_shift);
  // Fused where the scalar path rounds twice: each fusion removes a
  // rounding, so the error bound can only shrink, and five of the step's
  // twenty-odd operations go.
  const __m512d shifted = _mm512_fmadd_pd(xd, _mm512_set1_pd(inv_ln2_256), shift);
  const __m512d r = _mm512_fnmadd_pd(_mm512_sub_pd(shifted, shift), _mm512_set1_pd(ln2_256), xd);
  const __m512i ki = _mm512_sub_epi64(_mm512_castpd_si512(shifted), _mm512_castpd_si512(shift));
  // permutex2var reads the low four bits of each index: j / 16 and j % 16.
  const __m512d high =
      _mm512_permutex2var_pd(_mm512_loadu_pd(sixteenths), _mm512_maskz_srli_epi64(0xff, ki, 4),
                             _mm512_loadu_pd(sixteenths + 8));
  const __m512d low =
      _mm512_permutex2var_pd(_mm512_loadu_pd(fast_powers), ki, _mm512_loadu_pd(fast_powers + 8));
  const __m512d t = _mm512_mul_pd(high, low);
  const __m512d poly =
      _mm512_fmadd_pd(_mm512_mul_pd(r, r),
                      _mm512_fmadd_pd(r, _mm512_set1_pd(1.0 / 6.0), _mm512_set1_pd(0x1p-1)), r);
  const __m512i y = _mm512_castpd_si512(_mm512_fmadd_pd(t, poly, t));
  const __m512i off = _mm512_and_si512(_mm512_sub_epi64(y, _mm512_set1_epi64(midpoint - tolerance)),
                                       _mm512_set1_epi64(below_float));
  const __mmask8 clear = _mm512_cmpgt_epu64_mask(off, _mm512_set1_epi64(2 * tolerance));
  const __m512i scale = _mm512_maskz_slli_epi64(
      0xff, _mm512_maskz_andnot_epi64(0xff, _mm512_set1_epi64(255), ki), 44);
  _mm256_mask_storeu_ps(
      out, lanes, _mm512_maskz_cvtpd_ps(0xff, _mm512_castsi512_pd(_mm512_add_epi64(y, scale))));
  redo_lanes(static_cast<unsigned>(lanes & ~(clear & in_range)) & 255u, given, out);
}

// rounded_exp_n's AVX-512 form: eight lanes a step, the tail masked.
__attribute__((target("avx512f,avx512vl"))) inline void rounded_exp_n_avx512(
    const float* in, float* out, std::size_t n) noexcept {
  std::size_t left = n;
  for (; left >= 8; left -= 8, in += 8, out += 8) {
    rounded_exp_8_avx512(in, out, 0xff);
  }
  if (left > 0) {
    rounded_exp_8_avx512(in, out, static_cast<__mmask8>((1u << left) - 1));
  }
}
#endif

// The forms of rounded_exp_n, widest last.
enum class exp_lanes { portable, avx2, avx512 };

// The widest form this processor runs (a question to the processor, cheap
// enough to ask once per call).
inline exp_lanes widest_exp_lanes() noexcept {
#if defined(QUELT_FRAMEWORK_EXP_AVX512)
  if (avx512_available()) {
    return exp_lanes::avx512;
  }
#endif
#if defined(QUELT_FRAMEWORK_EXP_AVX2)
  if (avx2_available()) {
    return exp_lanes::avx2;
  }
#endif
  return exp_lanes::portable;
}

// out[i] = rounded_exp(in[i]) for i < n, in the form `lanes` (which the
// processor must run: widest_exp_lanes or narrower); every form gives the
// same bits. `in` and `out` may be the same array.
inline void rounded_exp_n(const float* in, float* out, std::size_t n,
                          [[maybe_unused]] exp_lanes lanes) noexcept {
  // The count left rather than an index compared with n: GCC then sees no
  // overflow to warn about.
  std::size_t left = n;
#if defined(QUELT_FRAMEWORK_EXP_AVX512)
  if (lanes == exp_lanes::avx512) {
    rounded_exp_n_avx512(in, out, n);
    return;
  }
#endif
#if defined(QUELT_FRAMEWORK_EXP_AVX2)
  if (lanes == exp_lanes::avx2) {
    for (; left >= 4; left -= 4, in += 4, out += 4) {
      rounded_exp_4_avx2(in, out);
    }
  }
#endif
  for (; left >= 4; left -= 4, in += 4, out += 4) {
    rounded_exp_4(in, out);
  }
  for (; left > 0; --left, ++in, ++out) {
    *out = rounded_exp(*in);
  }
}

}  // namespace sorvanta::framework

#undef QUELT_EXP_SSE2

#endif
