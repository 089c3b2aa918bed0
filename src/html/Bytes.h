#pragma once

#include <QByteArray>
#include <QtEndian>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cstring>

namespace html::bytes {

// Where the last character of bytes starts if the bytes cut it short, else
// bytes.size(): text read in pieces keeps that tail for the next piece, so
// that it decodes as the whole text would.
inline qsizetype wholeCharacters(QByteArrayView bytes)
{
    const qsizetype size = bytes.size();
    for (qsizetype back = 1; back <= 4 && back <= size; ++back) {
        const auto byte = uchar(bytes[size - back]);
        if ((byte & 0xC0) == 0x80)
            continue; // a continuation byte: the lead is further back
        const qsizetype length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return length > back ? size - back : size;
    }
    return size;
}

// Eight bytes at a time: masks with the top bit of each byte that passes,
// byte 0 (the first in memory) lowest. Exact for every byte, carries never
// cross from one byte to the next.
constexpr quint64 kOnes = 0x0101010101010101ull;
constexpr quint64 kHigh = kOnes * 0x80;
constexpr quint64 kLow7 = kOnes * 0x7F;

inline quint64 load(const char *p)
{
    return qFromLittleEndian<quint64>(p);
}

// Fewer than eight bytes, zeros after them.
inline quint64 loadShort(const char *p, qsizetype n)
{
    quint64 x = 0;
    for (qsizetype i = 0; i < n; ++i)
        x |= quint64(uchar(p[i])) << (8 * i);
    return x;
}

inline quint64 equal(quint64 x, char c)
{
    const quint64 y = x ^ (kOnes * uchar(c));
    return ~(((y & kLow7) + kLow7) | y) & kHigh;
}

// Bytes at most `c`, an ASCII byte.
inline quint64 atMost(quint64 x, uchar c)
{
    return ~(((x & kLow7) + kOnes * (0x7F - c)) | x) & kHigh;
}

// ASCII upper-case letters lowered, every other byte as it is.
inline quint64 lowerAscii(quint64 x)
{
    const quint64 low = x & kLow7;
    const quint64 fromA = low + kOnes * (0x80 - 'A'); // top bit: at least 'A'
    const quint64 pastZ = low + kOnes * (0x7F - 'Z'); // top bit: past 'Z'
    return x | ((fromA & ~pastZ & ~x & kHigh) >> 2);
}

inline int firstByte(quint64 mask)
{
    return std::countr_zero(mask) >> 3;
}

// `to` grown by n bytes, left for the caller to write: where they begin.
// QByteArray::append goes through the general insert, dear for the few
// bytes at a time that tags and rows grow by.
inline char *extend(QByteArray &to, qsizetype n)
{
    const qsizetype old = to.size();
    // Doubling, but by at most 4 MiB at a time: big captures grow here.
    if (to.capacity() < old + n)
        to.reserve(std::max<qsizetype>(old + n, to.capacity() +
                                                    std::min<qsizetype>(to.capacity(), 4 << 20)));
    to.resize(old + n);
    return to.data() + old;
}

inline void append(QByteArray &to, QByteArrayView bytes)
{
    if (!bytes.isEmpty())
        std::memcpy(extend(to, bytes.size()), bytes.data(), size_t(bytes.size()));
}

#ifdef __SSE2__
#if defined(__SANITIZE_ADDRESS__)
#define QUILLORA_CHECKED_READS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#define QUILLORA_CHECKED_READS 1
#endif
#endif

// The n < 16 bytes at p, zeros after them. A copy to the stack and a 16-byte
// load of it stalls on the stores just made; when the 16 bytes from p lie
// within one memory page they are read in place instead, which can't fault,
// and the bytes past the n masked off. Builds that check every read take the
// copy.
inline __m128i loadShort16(const char *p, qsizetype n)
{
#ifndef QUILLORA_CHECKED_READS
    if ((reinterpret_cast<quintptr>(p) & 4095) <= 4096 - 16) {
        alignas(16) static const char kKeep[32] = {-1, -1, -1, -1, -1, -1, -1, -1,
                                                   -1, -1, -1, -1, -1, -1, -1, -1};
        const __m128i keep = _mm_loadu_si128(reinterpret_cast<const __m128i *>(kKeep + 16 - n));
        return _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), keep);
    }
#endif
    alignas(16) char tail[16] = {};
    std::memcpy(tail, p, size_t(n));
    return _mm_load_si128(reinterpret_cast<const __m128i *>(tail));
}
#endif

// The first of `a`, `b` or `c` from p on, or end.
inline const char *findAny(const char *p, const char *end, char a, char b, char c)
{
#ifdef __SSE2__
    const __m128i va = _mm_set1_epi8(a), vb = _mm_set1_epi8(b), vc = _mm_set1_epi8(c);
    for (; end - p >= 16; p += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb)),
                                         _mm_cmpeq_epi8(x, vc));
        if (const int m = _mm_movemask_epi8(hit))
            return p + std::countr_zero(uint(m));
    }
#endif
    for (; end - p >= 8; p += 8) {
        const quint64 x = load(p);
        if (const quint64 m = equal(x, a) | equal(x, b) | equal(x, c))
            return p + firstByte(m);
    }
    while (p < end && *p != a && *p != b && *p != c)
        ++p;
    return p;
}

} // namespace html::bytes
