// Small SSE2 pieces the byte-scanning codecs share. SSE2 is part of every
// x86-64 processor, so these need no run-time check.
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>

namespace velnor::simd {

// 0xFF in each byte of `v` that lies in [lo, hi] as a signed byte, 0
// elsewhere. Bytes from 0x80 are negative, so an ASCII range never
// contains them.
inline __m128i bytes_within(__m128i v, char lo, char hi) {
  return _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(static_cast<char>(lo - 1))),
                       _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(hi + 1))));
}

}  // namespace velnor::simd
#endif
