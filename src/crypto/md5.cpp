#include "crypto/md5.hpp"

#include <bit>
#include <cstring>

#include "common/little_endian.hpp"

namespace native_accel::crypto {
namespace {

// The four auxiliary functions of RFC 1321. G and I are written in the forms that need
// the fewest dependent operations: (x & z) | (y & ~z) equals (x & z) + (y & ~z) because
// the two terms share no bit, and the addition merges with the round's other additions.
struct F {
    static std::uint32_t f(std::uint32_t x, std::uint32_t y, std::uint32_t z) noexcept {
        return z ^ (x & (y ^ z));
    }
};
struct G {
    static std::uint32_t f(std::uint32_t x, std::uint32_t y, std::uint32_t z) noexcept {
        return (x & z) + (y & ~z);
    }
};
struct H {
    static std::uint32_t f(std::uint32_t x, std::uint32_t y, std::uint32_t z) noexcept {
        return x ^ y ^ z;
    }
};
struct I {
    static std::uint32_t f(std::uint32_t x, std::uint32_t y, std::uint32_t z) noexcept {
        return y ^ (x | ~z);
    }
};

// One operation: a = b + ((a + fn(b, c, d) + word + constant) <<< shift), modulo 2^32.
template <class Fn>
inline void step(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                 std::uint32_t word, std::uint32_t constant, int shift) noexcept {
    a = b + std::rotl(a + Fn::f(b, c, d) + word + constant, shift);
}

using little_endian::load32;
using little_endian::store32;

// The compression function over `blocks` consecutive 64-byte blocks. The chaining words
// stay in locals for the whole run; constants, shifts and message-word order are RFC 1321's.
void compress(std::uint32_t state[4], const std::uint8_t* data, std::size_t blocks) noexcept {
    std::uint32_t a0 = state[0], b0 = state[1], c0 = state[2], d0 = state[3];
    for (; blocks != 0; --blocks, data += kMd5BlockSize) {
        std::uint32_t w[16];
        for (int k = 0; k < 16; ++k) w[k] = load32(data + 4 * k);
        std::uint32_t a = a0, b = b0, c = c0, d = d0;

        step<F>(a, b, c, d, w[0], 0xd76aa478u, 7);
        step<F>(d, a, b, c, w[1], 0xe8c7b756u, 12);
        step<F>(c, d, a, b, w[2], 0x242070dbu, 17);
        step<F>(b, c, d, a, w[3], 0xc1bdceeeu, 22);
        step<F>(a, b, c, d, w[4], 0xf57c0fafu, 7);
        step<F>(d, a, b, c, w[5], 0x4787c62au, 12);
        step<F>(c, d, a, b, w[6], 0xa8304613u, 17);
        step<F>(b, c, d, a, w[7], 0xfd469501u, 22);
        step<F>(a, b, c, d, w[8], 0x698098d8u, 7);
        step<F>(d, a, b, c, w[9], 0x8b44f7afu, 12);
        step<F>(c, d, a, b, w[10], 0xffff5bb1u, 17);
        step<F>(b, c, d, a, w[11], 0x895cd7beu, 22);
        step<F>(a, b, c, d, w[12], 0x6b901122u, 7);
        step<F>(d, a, b, c, w[13], 0xfd987193u, 12);
        step<F>(c, d, a, b, w[14], 0xa679438eu, 17);
        step<F>(b, c, d, a, w[15], 0x49b40821u, 22);

        step<G>(a, b, c, d, w[1], 0xf61e2562u, 5);
        step<G>(d, a, b, c, w[6], 0xc040b340u, 9);
        step<G>(c, d, a, b, w[11], 0x265e5a51u, 14);
        step<G>(b, c, d, a, w[0], 0xe9b6c7aau, 20);
        step<G>(a, b, c, d, w[5], 0xd62f105du, 5);
        step<G>(d, a, b, c, w[10], 0x02441453u, 9);
        step<G>(c, d, a, b, w[15], 0xd8a1e681u, 14);
        step<G>(b, c, d, a, w[4], 0xe7d3fbc8u, 20);
        step<G>(a, b, c, d, w[9], 0x21e1cde6u, 5);
        step<G>(d, a, b, c, w[14], 0xc33707d6u, 9);
        step<G>(c, d, a, b, w[3], 0xf4d50d87u, 14);
        step<G>(b, c, d, a, w[8], 0x455a14edu, 20);
        step<G>(a, b, c, d, w[13], 0xa9e3e905u, 5);
        step<G>(d, a, b, c, w[2], 0xfcefa3f8u, 9);
        step<G>(c, d, a, b, w[7], 0x676f02d9u, 14);
        step<G>(b, c, d, a, w[12], 0x8d2a4c8au, 20);

        step<H>(a, b, c, d, w[5], 0xfffa3942u, 4);
        step<H>(d, a, b, c, w[8], 0x8771f681u, 11);
        step<H>(c, d, a, b, w[11], 0x6d9d6122u, 16);
        step<H>(b, c, d, a, w[14], 0xfde5380cu, 23);
        step<H>(a, b, c, d, w[1], 0xa4beea44u, 4);
        step<H>(d, a, b, c, w[4], 0x4bdecfa9u, 11);
        step<H>(c, d, a, b, w[7], 0xf6bb4b60u, 16);
        step<H>(b, c, d, a, w[10], 0xbebfbc70u, 23);
        step<H>(a, b, c, d, w[13], 0x289b7ec6u, 4);
        step<H>(d, a, b, c, w[0], 0xeaa127fau, 11);
        step<H>(c, d, a, b, w[3], 0xd4ef3085u, 16);
        step<H>(b, c, d, a, w[6], 0x04881d05u, 23);
        step<H>(a, b, c, d, w[9], 0xd9d4d039u, 4);
        step<H>(d, a, b, c, w[12], 0xe6db99e5u, 11);
        step<H>(c, d, a, b, w[15], 0x1fa27cf8u, 16);
        step<H>(b, c, d, a, w[2], 0xc4ac5665u, 23);

        step<I>(a, b, c, d, w[0], 0xf4292244u, 6);
        step<I>(d, a, b, c, w[7], 0x432aff97u, 10);
        step<I>(c, d, a, b, w[14], 0xab9423a7u, 15);
        step<I>(b, c, d, a, w[5], 0xfc93a039u, 21);
        step<I>(a, b, c, d, w[12], 0x655b59c3u, 6);
        step<I>(d, a, b, c, w[3], 0x8f0ccc92u, 10);
        step<I>(c, d, a, b, w[10], 0xffeff47du, 15);
        step<I>(b, c, d, a, w[1], 0x85845dd1u, 21);
        step<I>(a, b, c, d, w[8], 0x6fa87e4fu, 6);
        step<I>(d, a, b, c, w[15], 0xfe2ce6e0u, 10);
        step<I>(c, d, a, b, w[6], 0xa3014314u, 15);
        step<I>(b, c, d, a, w[13], 0x4e0811a1u, 21);
        step<I>(a, b, c, d, w[4], 0xf7537e82u, 6);
        step<I>(d, a, b, c, w[11], 0xbd3af235u, 10);
        step<I>(c, d, a, b, w[2], 0x2ad7d2bbu, 15);
        step<I>(b, c, d, a, w[9], 0xeb86d391u, 21);

        a0 += a;
        b0 += b;
        c0 += c;
        d0 += d;
    }
    state[0] = a0;
    state[1] = b0;
    state[2] = c0;
    state[3] = d0;
}

}  // namespace

Md5Digest md5_digest(std::span<const std::uint8_t> message) noexcept {
    std::uint32_t state[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
    const std::size_t full = message.size() / kMd5BlockSize;
    compress(state, message.data(), full);

    // Tail: the remaining bytes, 0x80, zeros up to 56 mod 64, then the bit length mod 2^64.
    // It fits one block when at most 55 message bytes remain, else two.
    std::uint8_t tail[2 * kMd5BlockSize] = {};
    const std::size_t rest = message.size() % kMd5BlockSize;
    if (rest != 0) std::memcpy(tail, message.data() + full * kMd5BlockSize, rest);
    tail[rest] = 0x80;
    const std::size_t tail_size = rest <= 55 ? kMd5BlockSize : 2 * kMd5BlockSize;
    const std::uint64_t bits = static_cast<std::uint64_t>(message.size()) * 8u;  // wraps mod 2^64
    store32(tail + tail_size - 8, static_cast<std::uint32_t>(bits));
    store32(tail + tail_size - 4, static_cast<std::uint32_t>(bits >> 32));
    compress(state, tail, tail_size / kMd5BlockSize);

    Md5Digest digest;
    for (int k = 0; k < 4; ++k) store32(digest.data() + 4 * k, state[k]);
    return digest;
}

}  // namespace native_accel::crypto
