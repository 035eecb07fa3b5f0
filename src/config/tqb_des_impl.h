// TqbDESImpl: DES as published in FIPS 46, with options for cipher-block
// chaining (with a leading chaining block), PKCS#5 padding and the number of
// passes per block (3: encrypt-decrypt-encrypt under key 1, key 2, key 1).
//
// The chaining block is drawn from the operating system's random source, so
// the same text encrypts differently each time, in every process. One object
// is used by one thread at a time; objects are independent.
#pragma once

#include <sys/random.h>

#include <array>
#include <cstdint>
#include <cstring>

#include "platform/types.h"

namespace Norvale {

using uint8 = std::uint8_t;
using uint32 = std::uint32_t;

namespace DesTables {
// The tables of FIPS 46, converted to bit positions counted from 0.
template <size_t N>
constexpr std::array<uint8, N> FromOneBased(const int (&t)[N]) {
  std::array<uint8, N> out{};
  for (size_t i = 0; i < N; ++i) out[i] = static_cast<uint8>(t[i] - 1);
  return out;
}

constexpr int kIP[64] = {58, 50, 42, 34, 26, 18, 10, 2,  60, 52, 44, 36, 28, 20, 12, 4,  62, 54, 46, 38, 30, 22,
                         14, 6,  64, 56, 48, 40, 32, 24, 16, 8,  57, 49, 41, 33, 25, 17, 9,  1,  59, 51, 43, 35,
                         27, 19, 11, 3,  61, 53, 45, 37, 29, 21, 13, 5,  63, 55, 47, 39, 31, 23, 15, 7};
constexpr int kIPInverse[64] = {40, 8,  48, 16, 56, 24, 64, 32, 39, 7,  47, 15, 55, 23, 63, 31, 38, 6,  46, 14, 54, 22,
                                62, 30, 37, 5,  45, 13, 53, 21, 61, 29, 36, 4,  44, 12, 52, 20, 60, 28, 35, 3,  43, 11,
                                51, 19, 59, 27, 34, 2,  42, 10, 50, 18, 58, 26, 33, 1,  41, 9,  49, 17, 57, 25};
constexpr int kE[48] = {32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,  8,  9,  10, 11, 12, 13, 12, 13, 14, 15, 16, 17,
                        16, 17, 18, 19, 20, 21, 20, 21, 22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1};
constexpr int kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                        2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};
constexpr int kPC1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43,
                          35, 27, 19, 11, 3,  60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7,  62, 54,
                          46, 38, 30, 22, 14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};
constexpr int kPC2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                          26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                          51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};
constexpr int kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};
constexpr uint8 kSBox[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8, 3, 10, 6, 12, 5,  9,  0,  7,  0,  15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5, 3, 8,  4, 1,  14, 8,  13, 6,  2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2, 4, 9,  1, 7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8, 14, 6,  11, 3,  4, 9, 7, 2,  13, 12, 0, 5, 10, 3,  13, 4,  7, 15, 2,  8, 14, 12, 0, 1, 10, 6, 9, 11, 5,
     0,  14, 7, 11, 10, 4,  13, 1, 5, 8, 12, 6,  9,  3, 2, 15, 13, 8,  10, 1, 3,  15, 4, 2,  11, 6, 7, 12, 0, 5, 14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7, 11, 4,  2,  8,  13, 7, 0,  9, 3, 4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6, 4,  9,  8,  15, 3,  0, 11, 1, 2, 12,
     5,  10, 14, 7,  1, 10, 13, 0,  6,  9,  8,  7, 4,  15, 14, 3,  11, 5, 2,  12},
    {7, 13, 14, 3, 0, 6,  9, 10, 1,  2, 8,  5, 11, 12, 4,  15, 13, 8,  11, 5, 6, 15,
     0, 3,  4,  7, 2, 12, 1, 10, 14, 9, 10, 6, 9,  0,  12, 11, 7,  13, 15, 1, 3, 14,
     5, 2,  8,  4, 3, 15, 0, 6,  10, 1, 13, 8, 9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4, 1,  7,  10, 11, 6, 8, 5,  3, 15, 13, 0,  14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5, 0,  15, 10, 3,  9, 8, 6,  4, 2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0, 14, 11, 8,  12, 7, 1, 14, 2, 13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6, 8,  0, 13, 3,  4,  14, 7,  5, 11, 10, 15, 4, 2, 7, 12,
     9,  5,  6,  1,  13, 14, 0, 11, 3, 8,  9,  14, 15, 5,  2, 8,  12, 3,  7, 0, 4, 10,
     1,  13, 11, 6,  4,  3,  2, 12, 9, 5,  15, 10, 11, 14, 1, 7,  6,  0,  8, 13},
    {4, 11, 2,  14, 15, 0, 8, 13, 3,  12, 9, 7, 5, 10, 6, 1, 13, 0,  11, 7, 4, 9, 1,  10, 14, 3, 5, 12, 2,  15, 8, 6,
     1, 4,  11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5,  9, 2, 6,  11, 13, 8, 1, 4, 10, 7,  9,  5, 0, 15, 14, 2,  3, 12},
    {13, 2,  8, 4, 6, 15, 11, 1, 10, 9, 3,  14, 5,  0, 12, 7, 1, 15, 13, 8, 10, 3,  7, 4,  12, 5,  6, 11, 0, 14, 9, 2,
     7,  11, 4, 1, 9, 12, 14, 2, 0,  6, 10, 13, 15, 3, 5,  8, 2, 1,  14, 7, 4,  10, 8, 13, 15, 12, 9, 0,  3, 5,  6, 11},
};

inline constexpr auto IP = FromOneBased(kIP);
inline constexpr auto IPInverse = FromOneBased(kIPInverse);
inline constexpr auto E = FromOneBased(kE);
inline constexpr auto P = FromOneBased(kP);
inline constexpr auto PC1 = FromOneBased(kPC1);
inline constexpr auto PC2 = FromOneBased(kPC2);
}  // namespace DesTables

template <int N>
class TqbDESImpl {
 public:
  using SubKeys = uint8[16][6];

  TqbDESImpl() = default;
  virtual ~TqbDESImpl() { TqbClearOutput(); }
  TqbDESImpl(const TqbDESImpl&) = delete;
  TqbDESImpl& operator=(const TqbDESImpl&) = delete;

  void TqbSetKey1(const uint8* lpsz8Bytes) { std::memcpy(m_Key1, lpsz8Bytes, 8); }
  void TqbSetKey2(const uint8* lpsz8Bytes) { std::memcpy(m_Key2, lpsz8Bytes, 8); }
  const uint8* TqbGetKey1() const { return m_Key1; }
  const uint8* TqbGetKey2() const { return m_Key2; }

  bool TqbEncrypt(const char* lpszPlainText) {
    return TqbDoDES(reinterpret_cast<const uint8*>(lpszPlainText), static_cast<OS::DWORD>(std::strlen(lpszPlainText)),
                    true);
  }
  bool TqbDecrypt(const uint8* lpCryptogram, OS::DWORD cbCryptogram) {
    return TqbDoDES(lpCryptogram, cbCryptogram, false);
  }

  const uint8* TqbGetCryptogram() const { return m_lpOutput; }
  const uint8* TqbGetPlainText() const { return m_lpOutput; }
  uint32 TqbGetCryptogramSize() const { return m_cbCryptogram; }
  uint32 TqbGetOutputSize() const { return m_cbOutput; }
  bool TqbGetOutputIsOwned() const { return m_bOutputIsOwned; }
  bool TqbGetPadding() const { return m_bPadding; }
  bool TqbGetCBC() const { return m_bCBC; }
  uint32 TqbGetIterations() const { return m_nIterations; }

  void TqbClearOutput() {
    if (m_bOutputIsOwned) delete[] m_lpOutput;
    m_bOutputIsOwned = true;
    m_lpOutput = nullptr;
    m_cbOutput = 0;
    m_cbCryptogram = 0;
  }

  void TqbResizeOutput(OS::DWORD cb) {
    if (!m_bOutputIsOwned || cb == 0) return;
    TqbClearOutput();
    m_lpOutput = new uint8[cb + 1]();
    m_lpOutput[cb] = 0;
    m_cbOutput = cb;
  }

  bool TqbDoDES(const uint8* lpIn, OS::DWORD cbIn, bool bEncrypt) {
    if (lpIn == nullptr || cbIn == 0) return false;
    // 1. Result size.
    uint32 D, T;
    if (bEncrypt) {
      const uint32 extra = (cbIn % 8 != 0 || m_bPadding) ? 1 : 0;
      D = 8 * (cbIn / 8 + extra);
      T = m_bCBC ? D + 8 : D;
    } else {
      if (m_bCBC && cbIn < 8) return false;
      D = m_bCBC ? 8 * (cbIn / 8 - 1) : 8 * (cbIn / 8);
      T = D;
    }
    // 2. Result buffer.
    if (m_cbOutput < T) {
      if (!m_bOutputIsOwned) return false;
      if (T == 0) {
        TqbClearOutput();
      } else {
        TqbResizeOutput(T);
      }
    }
    m_cbCryptogram = T;
    // 3. Key schedules.
    SubKeys keys1, keys2;
    TqbCreateSubKeys(m_Key1, keys1);
    if (m_nIterations > 1) TqbCreateSubKeys(m_Key2, keys2);
    auto passes = [&](const uint8* in, uint8* out, bool encrypt) {
      uint8 a[8], b[8];
      std::memcpy(a, in, 8);
      bool dir = encrypt;
      for (uint32 i = 0; i < m_nIterations; ++i) {
        TqbEncode64Bits(a, b, (i % 2 == 0) ? keys1 : keys2, dir ? 1 : 0);
        std::memcpy(a, b, 8);
        dir = !dir;
      }
      std::memcpy(out, a, 8);
    };
    uint32 inPos = 0, outPos = 0;
    uint8 previous[8] = {};
    // 4. Chaining block.
    if (m_bCBC) {
      if (bEncrypt) {
        uint8 random[8];
        if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return false;
        // Every pass reads the same random bytes; the last pass's result stays.
        bool dir = true;
        for (uint32 i = 0; i < m_nIterations; ++i) {
          TqbEncode64Bits(random, m_lpOutput, (i % 2 == 0) ? keys1 : keys2, dir ? 1 : 0);
          dir = !dir;
        }
        std::memcpy(previous, m_lpOutput, 8);
        outPos = 8;
      } else {
        std::memcpy(previous, lpIn, 8);
        inPos = 8;
      }
    }
    // 5.-7. The data blocks.
    for (uint32 done = 0; done < D; done += 8) {
      uint8 block[8];
      const uint32 left = inPos < cbIn ? cbIn - inPos : 0;
      if (left >= 8) {
        std::memcpy(block, lpIn + inPos, 8);
      } else {
        std::memcpy(block, lpIn + inPos, left);
        std::memset(block + left, static_cast<int>(8 - left), 8 - left);
      }
      inPos += 8;
      uint8* out = m_lpOutput + outPos;
      if (bEncrypt) {
        if (m_bCBC)
          for (int k = 0; k < 8; ++k) block[k] ^= previous[k];
        passes(block, out, true);
        if (m_bCBC) std::memcpy(previous, out, 8);
      } else {
        passes(block, out, false);
        if (m_bCBC) {
          for (int k = 0; k < 8; ++k) out[k] ^= previous[k];
          std::memcpy(previous, block, 8);
        }
      }
      outPos += 8;
    }
    // 8. Padding.
    if (!bEncrypt && m_bPadding && T > 0) {
      const uint8 p = m_lpOutput[T - 1];
      bool ok = p >= 1 && p <= 8 && p <= T;
      for (uint32 k = 2; ok && k <= p; ++k) ok = m_lpOutput[T - k] == p;
      if (ok) {
        std::memset(m_lpOutput + T - p, 0, p);
        m_cbCryptogram -= p;
      }
    }
    return true;
  }

  // --- Block primitives ---

  static void TqbMapTrueBits(const uint8* lpMap, uint32 cbMap, const uint8* lpIn, uint8* lpOut) {
    for (uint32 i = 0; i < cbMap; ++i) {
      const uint32 from = lpMap[i];
      if (lpIn[from / 8] & (0x80 >> (from % 8))) lpOut[i / 8] |= static_cast<uint8>(0x80 >> (i % 8));
    }
  }

  static void TqbCreateKeyPlus(const uint8* Key, uint8* KeyPlus) {
    std::memset(KeyPlus, 0, 7);
    TqbMapTrueBits(DesTables::PC1.data(), 56, Key, KeyPlus);
  }

  static void TqbCreateSubKeys(const uint8* Key, SubKeys subKeys) {
    uint8 plus[7];
    TqbCreateKeyPlus(Key, plus);
    std::uint64_t cd = 0;
    for (int i = 0; i < 7; ++i) cd = (cd << 8) | plus[i];
    uint32 c = static_cast<uint32>(cd >> 28) & 0x0FFFFFFF;
    uint32 d = static_cast<uint32>(cd) & 0x0FFFFFFF;
    for (int round = 0; round < 16; ++round) {
      const int s = DesTables::kShifts[round];
      c = ((c << s) | (c >> (28 - s))) & 0x0FFFFFFF;
      d = ((d << s) | (d >> (28 - s))) & 0x0FFFFFFF;
      const std::uint64_t joined = (static_cast<std::uint64_t>(c) << 28) | d;
      uint8 bytes[7];
      for (int i = 0; i < 7; ++i) bytes[i] = static_cast<uint8>(joined >> (8 * (6 - i)));
      std::memset(subKeys[round], 0, 6);
      TqbMapTrueBits(DesTables::PC2.data(), 48, bytes, subKeys[round]);
    }
  }

  static uint8 TqbGetSBoxNibble(uint8 sbox, uint32 idxSBox) {
    const uint32 row = ((sbox >> 4) & 0x2) | (sbox & 0x1);
    const uint32 column = (sbox >> 1) & 0xF;
    return DesTables::kSBox[idxSBox][row * 16 + column];
  }

  static void TqbMapThroughSBox(const uint8* Right, const uint8* SubKey, uint8* output32) {
    uint8 expanded[6] = {};
    TqbMapTrueBits(DesTables::E.data(), 48, Right, expanded);
    std::uint64_t bits = 0;
    for (int i = 0; i < 6; ++i) bits = (bits << 8) | static_cast<uint8>(expanded[i] ^ SubKey[i]);
    uint32 s = 0;
    for (uint32 j = 0; j < 8; ++j) {
      const uint8 six = static_cast<uint8>((bits >> (42 - 6 * j)) & 0x3F);
      s = (s << 4) | TqbGetSBoxNibble(six, j);
    }
    const uint8 sBytes[4] = {static_cast<uint8>(s >> 24), static_cast<uint8>(s >> 16), static_cast<uint8>(s >> 8),
                             static_cast<uint8>(s)};
    std::memset(output32, 0, 4);
    TqbMapTrueBits(DesTables::P.data(), 32, sBytes, output32);
  }

  static void TqbEncode64Bits(const uint8* in, uint8* out, const SubKeys subKeys, int nEncrypt) {
    uint8 permuted[8] = {};
    TqbMapTrueBits(DesTables::IP.data(), 64, in, permuted);
    uint8 left[4], right[4];
    std::memcpy(left, permuted, 4);
    std::memcpy(right, permuted + 4, 4);
    for (int round = 0; round < 16; ++round) {
      uint8 f[4];
      TqbMapThroughSBox(right, subKeys[nEncrypt ? round : 15 - round], f);
      uint8 next[4];
      for (int k = 0; k < 4; ++k) next[k] = left[k] ^ f[k];
      std::memcpy(left, right, 4);
      std::memcpy(right, next, 4);
    }
    uint8 preOutput[8];
    std::memcpy(preOutput, right, 4);
    std::memcpy(preOutput + 4, left, 4);
    uint8 result[8] = {};
    TqbMapTrueBits(DesTables::IPInverse.data(), 64, preOutput, result);
    std::memcpy(out, result, 8);
  }

 private:
  uint8 m_Key1[8] = {};
  uint8 m_Key2[8] = {};
  uint8* m_lpOutput = nullptr;
  uint32 m_cbOutput = 0;
  uint32 m_cbCryptogram = 0;
  bool m_bOutputIsOwned = true;
  bool m_bPadding = true;
  bool m_bCBC = true;
  uint32 m_nIterations = 3;
};

}  // namespace Norvale
