// CRC-32 of RFC 1952 (reflected polynomial 0xEDB88320) over the decoded
// content. The register is updated eight bytes per step with eight constant
// tables (slicing by 8), and long runs are cut into four streams that are
// updated side by side, since one stream waits on its own table lookups;
// the streams are joined by multiplying with the register of a run of zero
// bytes. The seven extra tables and the join factors are derived from
// crc32_table at compile time, so the launcher carries 8 KiB more constant
// data and computes nothing at start-up. On processors with carry-less
// multiplication (every x86-64 since about 2010) runs of 64 bytes or more
// are folded 64 bytes per step instead, some four times faster, and where
// AVX-512 has 512-bit carry-less multiplication (and the system saves its
// registers) runs of 512 bytes or more 256 bytes per step, three times
// faster again; the price is two CPUIDs and an XGETBV at the first call and
// about a kilobyte of code.
#include "inflate/state.h"

#include <cpuid.h>
#include <immintrin.h>

// Entry i is the register contribution of byte i: i shifted right eight
// times, with the polynomial XORed in after each shift that drops a 1 bit.
extern constexpr uint32_t crc32_table[256] = {
    0x00000000, 0x77073096, 0xEE0E612C, 0x990951BA, 0x076DC419, 0x706AF48F, 0xE963A535, 0x9E6495A3,
    0x0EDB8832, 0x79DCB8A4, 0xE0D5E91E, 0x97D2D988, 0x09B64C2B, 0x7EB17CBD, 0xE7B82D07, 0x90BF1D91,
    0x1DB71064, 0x6AB020F2, 0xF3B97148, 0x84BE41DE, 0x1ADAD47D, 0x6DDDE4EB, 0xF4D4B551, 0x83D385C7,
    0x136C9856, 0x646BA8C0, 0xFD62F97A, 0x8A65C9EC, 0x14015C4F, 0x63066CD9, 0xFA0F3D63, 0x8D080DF5,
    0x3B6E20C8, 0x4C69105E, 0xD56041E4, 0xA2677172, 0x3C03E4D1, 0x4B04D447, 0xD20D85FD, 0xA50AB56B,
    0x35B5A8FA, 0x42B2986C, 0xDBBBC9D6, 0xACBCF940, 0x32D86CE3, 0x45DF5C75, 0xDCD60DCF, 0xABD13D59,
    0x26D930AC, 0x51DE003A, 0xC8D75180, 0xBFD06116, 0x21B4F4B5, 0x56B3C423, 0xCFBA9599, 0xB8BDA50F,
    0x2802B89E, 0x5F058808, 0xC60CD9B2, 0xB10BE924, 0x2F6F7C87, 0x58684C11, 0xC1611DAB, 0xB6662D3D,
    0x76DC4190, 0x01DB7106, 0x98D220BC, 0xEFD5102A, 0x71B18589, 0x06B6B51F, 0x9FBFE4A5, 0xE8B8D433,
    0x7807C9A2, 0x0F00F934, 0x9609A88E, 0xE10E9818, 0x7F6A0DBB, 0x086D3D2D, 0x91646C97, 0xE6635C01,
    0x6B6B51F4, 0x1C6C6162, 0x856530D8, 0xF262004E, 0x6C0695ED, 0x1B01A57B, 0x8208F4C1, 0xF50FC457,
    0x65B0D9C6, 0x12B7E950, 0x8BBEB8EA, 0xFCB9887C, 0x62DD1DDF, 0x15DA2D49, 0x8CD37CF3, 0xFBD44C65,
    0x4DB26158, 0x3AB551CE, 0xA3BC0074, 0xD4BB30E2, 0x4ADFA541, 0x3DD895D7, 0xA4D1C46D, 0xD3D6F4FB,
    0x4369E96A, 0x346ED9FC, 0xAD678846, 0xDA60B8D0, 0x44042D73, 0x33031DE5, 0xAA0A4C5F, 0xDD0D7CC9,
    0x5005713C, 0x270241AA, 0xBE0B1010, 0xC90C2086, 0x5768B525, 0x206F85B3, 0xB966D409, 0xCE61E49F,
    0x5EDEF90E, 0x29D9C998, 0xB0D09822, 0xC7D7A8B4, 0x59B33D17, 0x2EB40D81, 0xB7BD5C3B, 0xC0BA6CAD,
    0xEDB88320, 0x9ABFB3B6, 0x03B6E20C, 0x74B1D29A, 0xEAD54739, 0x9DD277AF, 0x04DB2615, 0x73DC1683,
    0xE3630B12, 0x94643B84, 0x0D6D6A3E, 0x7A6A5AA8, 0xE40ECF0B, 0x9309FF9D, 0x0A00AE27, 0x7D079EB1,
    0xF00F9344, 0x8708A3D2, 0x1E01F268, 0x6906C2FE, 0xF762575D, 0x806567CB, 0x196C3671, 0x6E6B06E7,
    0xFED41B76, 0x89D32BE0, 0x10DA7A5A, 0x67DD4ACC, 0xF9B9DF6F, 0x8EBEEFF9, 0x17B7BE43, 0x60B08ED5,
    0xD6D6A3E8, 0xA1D1937E, 0x38D8C2C4, 0x4FDFF252, 0xD1BB67F1, 0xA6BC5767, 0x3FB506DD, 0x48B2364B,
    0xD80D2BDA, 0xAF0A1B4C, 0x36034AF6, 0x41047A60, 0xDF60EFC3, 0xA867DF55, 0x316E8EEF, 0x4669BE79,
    0xCB61B38C, 0xBC66831A, 0x256FD2A0, 0x5268E236, 0xCC0C7795, 0xBB0B4703, 0x220216B9, 0x5505262F,
    0xC5BA3BBE, 0xB2BD0B28, 0x2BB45A92, 0x5CB36A04, 0xC2D7FFA7, 0xB5D0CF31, 0x2CD99E8B, 0x5BDEAE1D,
    0x9B64C2B0, 0xEC63F226, 0x756AA39C, 0x026D930A, 0x9C0906A9, 0xEB0E363F, 0x72076785, 0x05005713,
    0x95BF4A82, 0xE2B87A14, 0x7BB12BAE, 0x0CB61B38, 0x92D28E9B, 0xE5D5BE0D, 0x7CDCEFB7, 0x0BDBDF21,
    0x86D3D2D4, 0xF1D4E242, 0x68DDB3F8, 0x1FDA836E, 0x81BE16CD, 0xF6B9265B, 0x6FB077E1, 0x18B74777,
    0x88085AE6, 0xFF0F6A70, 0x66063BCA, 0x11010B5C, 0x8F659EFF, 0xF862AE69, 0x616BFFD3, 0x166CCF45,
    0xA00AE278, 0xD70DD2EE, 0x4E048354, 0x3903B3C2, 0xA7672661, 0xD06016F7, 0x4969474D, 0x3E6E77DB,
    0xAED16A4A, 0xD9D65ADC, 0x40DF0B66, 0x37D83BF0, 0xA9BCAE53, 0xDEBB9EC5, 0x47B2CF7F, 0x30B5FFE9,
    0xBDBDF21C, 0xCABAC28A, 0x53B39330, 0x24B4A3A6, 0xBAD03605, 0xCDD70693, 0x54DE5729, 0x23D967BF,
    0xB3667A2E, 0xC4614AB8, 0x5D681B02, 0x2A6F2B94, 0xB40BBE37, 0xC30C8EA1, 0x5A05DF1B, 0x2D02EF8D,
};

// Slice k maps a byte to its contribution after k further zero bytes, so
// eight bytes fold into the register with eight lookups.
#define CRC_SLICES 8
struct CrcSlices {
    uint32_t table[CRC_SLICES][256];  // table[0] is crc32_table
};

static constexpr CrcSlices BuildCrcSlices() {
    CrcSlices slices = {};
    for (int i = 0; i < 256; i++) {
        slices.table[0][i] = crc32_table[i];
    }
    for (int k = 1; k < CRC_SLICES; k++) {
        for (int i = 0; i < 256; i++) {
            uint32_t previous = slices.table[k - 1][i];  // one byte fewer
            slices.table[k][i] = (previous >> 8) ^ crc32_table[previous & 0xFF];
        }
    }
    return slices;
}

static constexpr CrcSlices crc_slices = BuildCrcSlices();

// The reflected polynomial, and the register that stands for x^0.
#define CRC_POLYNOMIAL 0xEDB88320u
#define CRC_ONE 0x80000000u

/*
 * ZeroRunFactor: the register that x^0 becomes after n zero bytes, that is
 * x^(8n) modulo the polynomial. Multiplying a register by it gives the
 * register after n more zero bytes.
 */
static constexpr uint32_t ZeroRunFactor(uint32_t n) {
    uint32_t r = CRC_ONE;
    for (uint32_t i = 0; i < n; i++) {
        r = crc32_table[r & 0xFF] ^ (r >> 8);
    }
    return r;
}

/*
 * MultiplyModPoly: the product of two registers modulo the polynomial, one
 * bit of a at a time from x^0 (the top bit) up, with b multiplied by x in
 * step. Some 32 rounds of shifts and masks, no branches.
 */
static inline uint32_t MultiplyModPoly(uint32_t a, uint32_t b) {
    uint32_t product = 0;
    for (int i = 31; i >= 0; i--) {
        product ^= b & (0u - ((a >> i) & 1));
        b = (b >> 1) ^ (CRC_POLYNOMIAL & (0u - (b & 1)));
    }
    return product;
}

// The runs that are cut into streams: the bytes of each stream and the join
// factor for them, longest first. A full window is one run of the first.
#define CRC_STREAMS 4
struct CrcRun {
    uint32_t stream_bytes;  // bytes of each stream, a multiple of CRC_SLICES
    uint32_t factor;        // ZeroRunFactor(stream_bytes)
};
static constexpr CrcRun crc_runs[2] = {{8192, ZeroRunFactor(8192)}, {1024, ZeroRunFactor(1024)}};

// Reads four bytes as a little-endian u32 (one load on the targets we build for).
static inline uint32_t LoadLe32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

/* SliceStep: the register after the eight bytes at data. */
static inline uint32_t SliceStep(uint32_t crc, const uint8_t* data) {
    const uint32_t(*t)[256] = crc_slices.table;
    uint32_t low = LoadLe32(data) ^ crc;  // bytes 0..3, register folded in
    uint32_t high = LoadLe32(data + 4);   // bytes 4..7
    return t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
           t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^
           t[0][high >> 24];
}

// Folding constants of the reflected polynomial: for folding d bytes
// ahead, x^(8d + 32) and x^(8d - 32) modulo it, as reflected registers
// shifted for the reflected carry-less product (low quadword first).
struct FoldPair {
    uint64_t low;   // x^(8d + 32)
    uint64_t high;  // x^(8d - 32)
};
static constexpr FoldPair FoldPairFor(uint32_t d) {
    return {(uint64_t)ZeroRunFactor(d + 4) << 1, (uint64_t)ZeroRunFactor(d - 4) << 1};
}
static constexpr FoldPair crc_fold16 = FoldPairFor(16);
static constexpr FoldPair crc_fold64 = FoldPairFor(64);
static constexpr FoldPair crc_fold256 = FoldPairFor(256);
static_assert(crc_fold64.low == 0x154442bd4ull && crc_fold64.high == 0x1c6e41596ull,
              "the 64-byte folding constants");
static_assert(crc_fold16.low == 0x1751997d0ull && crc_fold16.high == 0x0ccaa009eull,
              "the 16-byte folding constants");
#define CRC_FOLD_MIN 64     // shortest run worth folding
#define CRC_WIDE_BLOCK 256  // bytes that the wide fold takes per step
#define CRC_WIDE_MIN 512    // shortest run worth the wide fold

// What the processor offers for folding, and the CPUID and XCR0 bits that
// tell it: carry-less multiplication (every x86-64 since about 2010), and
// AVX-512 with its 512-bit carry-less multiplication, usable only when the
// operating system saves the ZMM registers (XCR0: SSE, AVX, opmask, upper
// halves of ZMM0-15, ZMM16-31).
#define FOLD_NONE 0
#define FOLD_PCLMUL 1
#define FOLD_WIDE 2
#define CPUID1_ECX_PCLMUL (1u << 1)
#define CPUID1_ECX_OSXSAVE (1u << 27)
#define CPUID7_EBX_AVX512F (1u << 16)
#define CPUID7_ECX_VPCLMULQDQ (1u << 10)
#define XCR0_ZMM_STATE 0xE6u

/* ReadXcr0: the register of the state the operating system saves (XGETBV 0). */
static uint32_t ReadXcr0() {
    uint32_t low = 0, high = 0;  // XCR0, low and high halves
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return low;
}

/*
 * FoldLevel: how the processor can fold, one of FOLD_*. Asked once; a race
 * between two first callers writes the same answer twice.
 */
static int FoldLevel() {
    static int answer = -1;  // -1 until asked
    if (answer < 0) {
        unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;  // CPUID leaf 1, then 7
        int level = FOLD_NONE;
        if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & CPUID1_ECX_PCLMUL)) {
            level = FOLD_PCLMUL;
            int zmm_saved =
                (ecx & CPUID1_ECX_OSXSAVE) && (ReadXcr0() & XCR0_ZMM_STATE) == XCR0_ZMM_STATE;
            if (zmm_saved && __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) &&
                (ebx & CPUID7_EBX_AVX512F) && (ecx & CPUID7_ECX_VPCLMULQDQ)) {
                level = FOLD_WIDE;
            }
        }
        answer = level;
    }
    return answer;
}

/* FoldStep: x multiplied past distance bytes (by the constants) plus next. */
__attribute__((target("pclmul,sse2"))) static inline __m128i FoldStep(__m128i x, __m128i k,
                                                                      __m128i next) {
    return _mm_xor_si128(
        _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

/* FoldConstants: the two constants of a fold in one lane. */
__attribute__((target("sse2"))) static inline __m128i FoldConstants(const FoldPair& pair) {
    return _mm_set_epi64x((long long)pair.high, (long long)pair.low);
}

/*
 * FoldLanes: the first n bytes at data, n a multiple of 64 and at least 64,
 * folded into one 16-byte lane from the register crc. The register goes
 * into the first four bytes (the register is linear in its start and its
 * bytes, so a start r equals a start of 0 with r XORed into the first
 * bytes); four lanes are folded 64 bytes ahead at a time, then into one.
 */
__attribute__((target("pclmul,sse2"))) static __m128i FoldLanes(uint32_t crc, const uint8_t* data,
                                                                uint32_t n) {
    const __m128i* p = (const __m128i*)data;  // next 16 bytes
    const __m128i k64 = FoldConstants(crc_fold64);
    const __m128i k16 = FoldConstants(crc_fold16);
    __m128i x0 = _mm_xor_si128(_mm_loadu_si128(p), _mm_cvtsi32_si128((int)crc));  // four lanes
    __m128i x1 = _mm_loadu_si128(p + 1);
    __m128i x2 = _mm_loadu_si128(p + 2);
    __m128i x3 = _mm_loadu_si128(p + 3);
    p += 4;
    for (n -= 64; n >= 64; n -= 64, p += 4) {
        x0 = FoldStep(x0, k64, _mm_loadu_si128(p));
        x1 = FoldStep(x1, k64, _mm_loadu_si128(p + 1));
        x2 = FoldStep(x2, k64, _mm_loadu_si128(p + 2));
        x3 = FoldStep(x3, k64, _mm_loadu_si128(p + 3));
    }
    return FoldStep(FoldStep(FoldStep(x0, k16, x1), k16, x2), k16, x3);
}

// The masked form of the broadcast, all lanes kept: the plain form leaves
// its unused operand uninitialized, which the compiler warns about.
#define ALL_LANES 0xFFFF

/* FoldStepWide: FoldStep on the four lanes of a 512-bit register at once. */
__attribute__((target("avx512f,vpclmulqdq"))) static inline __m512i
FoldStepWide(__m512i x, __m512i k, __m512i next) {
    const int xor3 = 0x96;  // the ternary-logic table of a ^ b ^ c
    return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(x, k, 0x00),
                                     _mm512_clmulepi64_epi128(x, k, 0x11), next, xor3);
}

/*
 * FoldWide: FoldLanes with 512-bit registers, for n a multiple of 256 and
 * at least 256: sixteen lanes folded 256 bytes ahead at a time, then the
 * four registers into one 64 bytes ahead, then its four lanes into one.
 * Some three times the speed of FoldLanes where the processor has it. A
 * 512-bit value leaves registers only through an unaligned store: the
 * mingw-w64 compiler does not align the stack for one.
 */
__attribute__((target("avx512f,vpclmulqdq,pclmul"))) static __m128i
FoldWide(uint32_t crc, const uint8_t* data, uint32_t n) {
    const __m512i* p = (const __m512i*)data;  // next 64 bytes
    const __m512i k256 = _mm512_maskz_broadcast_i32x4(ALL_LANES, FoldConstants(crc_fold256));
    const __m512i k64 = _mm512_maskz_broadcast_i32x4(ALL_LANES, FoldConstants(crc_fold64));
    const __m128i k16 = FoldConstants(crc_fold16);
    __m512i x0 = _mm512_xor_si512(_mm512_loadu_si512(p),
                                  _mm512_zextsi128_si512(_mm_cvtsi32_si128((int)crc)));
    __m512i x1 = _mm512_loadu_si512(p + 1);
    __m512i x2 = _mm512_loadu_si512(p + 2);
    __m512i x3 = _mm512_loadu_si512(p + 3);
    p += 4;
    for (n -= CRC_WIDE_BLOCK; n >= CRC_WIDE_BLOCK; n -= CRC_WIDE_BLOCK, p += 4) {
        x0 = FoldStepWide(x0, k256, _mm512_loadu_si512(p));
        x1 = FoldStepWide(x1, k256, _mm512_loadu_si512(p + 1));
        x2 = FoldStepWide(x2, k256, _mm512_loadu_si512(p + 2));
        x3 = FoldStepWide(x3, k256, _mm512_loadu_si512(p + 3));
    }
    x0 = FoldStepWide(FoldStepWide(FoldStepWide(x0, k64, x1), k64, x2), k64, x3);
    uint8_t lanes[64];  // the four lanes of x0, through memory (an unaligned store)
    _mm512_storeu_si512(lanes, x0);
    __m128i lane = FoldStep(_mm_loadu_si128((const __m128i*)lanes), k16,
                            _mm_loadu_si128((const __m128i*)(lanes + 16)));
    lane = FoldStep(lane, k16, _mm_loadu_si128((const __m128i*)(lanes + 32)));
    return FoldStep(lane, k16, _mm_loadu_si128((const __m128i*)(lanes + 48)));
}

/*
 * FoldCrc32: the register after the first n bytes at data, n a multiple of
 * 16 and at least 64. The widest fold the processor has takes the longest
 * whole run it can, the lane it leaves is folded 16 bytes ahead over the
 * rest, and what is left is 16 bytes that have the same register as
 * everything folded, taken from 0 through the slices.
 */
__attribute__((target("pclmul,sse2"))) static uint32_t FoldCrc32(uint32_t crc, const uint8_t* data,
                                                                 uint32_t n, int level) {
    uint32_t done;  // bytes folded into the lane
    __m128i lane;   // the folded lane
    if (level == FOLD_WIDE && n >= CRC_WIDE_MIN) {
        done = n & ~(uint32_t)(CRC_WIDE_BLOCK - 1);
        lane = FoldWide(crc, data, done);
    } else {
        done = n & ~63u;
        lane = FoldLanes(crc, data, done);
    }
    const __m128i k16 = FoldConstants(crc_fold16);
    for (; done < n; done += 16) {
        lane = FoldStep(lane, k16, _mm_loadu_si128((const __m128i*)(data + done)));
    }
    uint8_t last[16];  // the folded lane
    _mm_storeu_si128((__m128i*)last, lane);
    return SliceStep(SliceStep(0, last), last + 8);
}

/*
 * UpdateCrc32: without data, presets the register to all ones and returns 0.
 * With data, folds the n bytes into the register and returns the register
 * complemented, which is the CRC-32 of everything folded in since the preset;
 * n = 0 only reads it. A run of four streams starts the first stream from
 * the register and the others from 0; since the register is linear in its
 * start and its bytes, shifting each stream's result past the streams after
 * it (a multiplication by the factor per stream) and adding them gives the
 * register of the whole run. What is left after the runs goes through the
 * slices eight bytes at a time, and the last bytes through crc32_table; all
 * ways give the same register.
 */
uint32_t UpdateCrc32(InflateState* s, const uint8_t* data, uint32_t n) {
    if (data == nullptr) {
        s->crc = 0xFFFFFFFF;
        return 0;
    }
    uint32_t crc = s->crc;                                    // working register
    int level = n >= CRC_FOLD_MIN ? FoldLevel() : FOLD_NONE;  // how this run folds
    if (level != FOLD_NONE) {
        uint32_t folded = n & ~15u;  // whole lanes
        crc = FoldCrc32(crc, data, folded, level);
        data += folded;
        n -= folded;
    }
    for (const CrcRun& run : crc_runs) {
        uint32_t bytes = run.stream_bytes;
        while (n >= CRC_STREAMS * bytes) {
            uint32_t a = crc, b = 0, c = 0, d = 0;  // the registers of the four streams
            for (uint32_t i = 0; i < bytes; i += CRC_SLICES) {
                a = SliceStep(a, data + i);
                b = SliceStep(b, data + bytes + i);
                c = SliceStep(c, data + 2 * bytes + i);
                d = SliceStep(d, data + 3 * bytes + i);
            }
            crc = MultiplyModPoly(a, run.factor) ^ b;
            crc = MultiplyModPoly(crc, run.factor) ^ c;
            crc = MultiplyModPoly(crc, run.factor) ^ d;
            data += CRC_STREAMS * bytes;
            n -= CRC_STREAMS * bytes;
        }
    }
    while (n >= CRC_SLICES) {
        crc = SliceStep(crc, data);
        data += CRC_SLICES;
        n -= CRC_SLICES;
    }
    while (n > 0) {
        crc = crc32_table[(crc ^ *data) & 0xFF] ^ (crc >> 8);
        data++;
        n--;
    }
    s->crc = crc;
    return crc ^ 0xFFFFFFFF;
}
