#include "platform/Utf8Validation.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define QUILLORA_UTF8_AVX2 1
#endif

namespace {

#ifdef QUILLORA_UTF8_AVX2

// Every pair of neighbouring bytes is classed by three table lookups: on the
// first byte's high nibble, its low nibble and the second byte's high nibble.
// The bits all three share name the fault the pair makes, if any. Third and
// fourth bytes of a sequence are found apart, from the bytes two and three
// back. (The lookup method of Keiser and Lemire, "Validating UTF-8 in less
// than one instruction per byte", 2021.)
constexpr uint8_t tooShort = 1 << 0;         // a lead byte not followed by a continuation
constexpr uint8_t tooLong = 1 << 1;          // a continuation after ASCII
constexpr uint8_t overlong3 = 1 << 2;        // E0 80..9F
constexpr uint8_t tooLarge = 1 << 3;         // F4 90..BF, F5..FF
constexpr uint8_t surrogate = 1 << 4;        // ED A0..BF
constexpr uint8_t overlong2 = 1 << 5;        // C0, C1
constexpr uint8_t tooLarge1000 = 1 << 6;     // F5..FF 80..8F
constexpr uint8_t overlong4 = 1 << 6;        // F0 80..8F
constexpr uint8_t twoContinuations = 1 << 7; // right only as a third or fourth byte
constexpr uint8_t carry = tooShort | tooLong | twoContinuations;
constexpr uint8_t large = carry | tooLarge | tooLarge1000;

template <typename... Bytes> __attribute__((target("avx2"))) __m256i table(Bytes... bytes)
{
    static_assert(sizeof...(bytes) == 16);
    return _mm256_broadcastsi128_si256(_mm_setr_epi8(char(bytes)...));
}

// The input as it would read starting N bytes earlier, those bytes taken from previous.
template <int N> __attribute__((target("avx2"))) __m256i earlier(__m256i input, __m256i previous)
{
    return _mm256_alignr_epi8(input, _mm256_permute2x128_si256(previous, input, 0x21), 16 - N);
}

struct Avx2Checker
{
    __m256i byte1High, byte1Low, byte2High, nibble, lastLeads;
    __m256i error, previous, previousIncomplete;

    __attribute__((target("avx2"))) Avx2Checker()
    {
        byte1High = table(tooLong, tooLong, tooLong, tooLong, tooLong, tooLong, tooLong, tooLong,
                          twoContinuations, twoContinuations, twoContinuations, twoContinuations,
                          tooShort | overlong2, tooShort, tooShort | overlong3 | surrogate,
                          tooShort | tooLarge | tooLarge1000 | overlong4);
        byte1Low = table(carry | overlong3 | overlong2 | overlong4, carry | overlong2, carry, carry,
                         carry | tooLarge, large, large, large, large, large, large, large, large,
                         large | surrogate, large, large);
        constexpr uint8_t continuation = tooLong | overlong2 | twoContinuations;
        byte2High =
            table(tooShort, tooShort, tooShort, tooShort, tooShort, tooShort, tooShort, tooShort,
                  continuation | overlong3 | tooLarge1000 | overlong4,
                  continuation | overlong3 | tooLarge, continuation | surrogate | tooLarge,
                  continuation | surrogate | tooLarge, tooShort, tooShort, tooShort, tooShort);
        nibble = _mm256_set1_epi8(0x0F);
        // A lead byte in the last three places whose sequence runs past them.
        lastLeads = _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                     -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                     char(0xF0 - 1), char(0xE0 - 1), char(0xC0 - 1));
        error = previous = previousIncomplete = _mm256_setzero_si256();
    }

    __attribute__((target("avx2"))) __m256i highNibbles(__m256i bytes) const
    {
        return _mm256_and_si256(_mm256_srli_epi16(bytes, 4), nibble);
    }

    __attribute__((target("avx2"))) void check(__m256i input)
    {
        if (_mm256_movemask_epi8(input) == 0) {
            // All ASCII: right unless the block before ended inside a sequence.
            error = _mm256_or_si256(error, previousIncomplete);
            previousIncomplete = _mm256_setzero_si256();
            previous = input;
            return;
        }
        const __m256i prev1 = earlier<1>(input, previous);
        const __m256i special = _mm256_and_si256(
            _mm256_and_si256(_mm256_shuffle_epi8(byte1High, highNibbles(prev1)),
                             _mm256_shuffle_epi8(byte1Low, _mm256_and_si256(prev1, nibble))),
            _mm256_shuffle_epi8(byte2High, highNibbles(input)));
        const __m256i third = _mm256_subs_epu8(earlier<2>(input, previous), _mm256_set1_epi8(0x60));
        const __m256i fourth =
            _mm256_subs_epu8(earlier<3>(input, previous), _mm256_set1_epi8(0x70));
        const __m256i mustContinue =
            _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(char(0x80)));
        error = _mm256_or_si256(error, _mm256_xor_si256(mustContinue, special));
        previousIncomplete = _mm256_subs_epu8(input, lastLeads);
        previous = input;
    }
};

__attribute__((target("avx2"))) bool isValidAvx2(const char *data, qsizetype size)
{
    Avx2Checker checker;
    qsizetype at = 0;
    for (; at + 32 <= size; at += 32)
        checker.check(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(data + at)));
    // The rest, then at least one byte of ASCII: a sequence cut at the end is an error.
    alignas(32) char tail[32] = {};
    std::memcpy(tail, data + at, size_t(size - at));
    checker.check(_mm256_load_si256(reinterpret_cast<const __m256i *>(tail)));
    return _mm256_testz_si256(checker.error, checker.error);
}

#endif

} // namespace

bool isValidUtf8(QByteArrayView bytes)
{
#ifdef QUILLORA_UTF8_AVX2
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2 && bytes.size() >= 64)
        return isValidAvx2(bytes.data(), bytes.size());
#endif
    return bytes.isValidUtf8();
}
