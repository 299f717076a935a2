// Decoding speed of DecodeChunk against zlib (raw inflate plus crc32) and
// libdeflate (deflate_decompress plus crc32) on the same chunk members:
// 512 KiB pieces of real files of this machine (binaries from /usr/bin and
// /usr/lib, text from /usr/share), each compressed by libdeflate at level 12
// and framed as a chunk member. Reports output MB/s per decoder and, at the
// end, DecodeChunk's ratios to both beside their goals: at least zlib's
// speed and 0.70 of libdeflate's on both kinds of content. Every
// decoder's output is checked once before timing, so a fast wrong decoder
// cannot pass.
#include "inflate/inflate.h"

#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr size_t kPiece = 524288;          // content of one chunk member
constexpr size_t kPiecesPerKind = 24;      // 12 MiB of content per kind
constexpr size_t kOutputBuffer = 1 << 20;  // the extractor's output buffer size

struct Member {
    Bytes member;   // 1F 8B 08, deflate, CRC-32, ISIZE
    Bytes content;  // what it decodes to
};

// Reads files under the roots in path order until `want` bytes are
// collected; `text` takes only files without NUL bytes, otherwise only ELF
// files. Compressed formats are skipped.
Bytes Collect(const std::vector<std::string>& roots, bool text, size_t want) {
    std::vector<fs::path> paths;
    for (const std::string& root : roots) {
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(
                 root, fs::directory_options::skip_permission_denied, ec);
             it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (ec) {
                break;
            }
            std::error_code ec2;
            if (it->is_regular_file(ec2) && !it->is_symlink(ec2) && it->file_size(ec2) >= 4096) {
                paths.push_back(it->path());
            }
        }
    }
    std::sort(paths.begin(), paths.end());
    static const char* skip[] = {".gz", ".xz", ".bz2", ".zst", ".png", ".jpg", ".zip", ".jar"};
    Bytes all;
    for (const fs::path& p : paths) {
        std::string ext = p.extension().string();
        if (std::find(std::begin(skip), std::end(skip), ext) != std::end(skip)) {
            continue;
        }
        std::ifstream in(p, std::ios::binary);
        Bytes b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (b.size() < 4096) {
            continue;
        }
        bool elf = memcmp(b.data(),
                          "\x7f"
                          "ELF",
                          4) == 0;
        bool has_nul = std::find(b.begin(), b.end(), 0) != b.end();
        if (text ? has_nul : !elf) {
            continue;
        }
        all.insert(all.end(), b.begin(), b.end());
        if (all.size() >= want) {
            break;
        }
    }
    all.resize(std::min(all.size(), want));
    return all;
}

void PutLe32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; i++) {
        out.push_back((uint8_t)(v >> (8 * i)));
    }
}

std::vector<Member> MakeMembers(const Bytes& content) {
    std::vector<Member> members;
    libdeflate_compressor* c = libdeflate_alloc_compressor(12);
    for (size_t at = 0; at + kPiece <= content.size(); at += kPiece) {
        Member m;
        m.content.assign(content.begin() + at, content.begin() + at + kPiece);
        Bytes deflate(libdeflate_deflate_compress_bound(c, kPiece));
        size_t n = libdeflate_deflate_compress(c, m.content.data(), kPiece, deflate.data(),
                                               deflate.size());
        m.member = {0x1F, 0x8B, 0x08};
        m.member.insert(m.member.end(), deflate.begin(), deflate.begin() + n);
        PutLe32(m.member, (uint32_t)crc32(0, m.content.data(), (uInt)kPiece));
        PutLe32(m.member, (uint32_t)kPiece);
        members.push_back(std::move(m));
    }
    libdeflate_free_compressor(c);
    return members;
}

std::map<std::string, std::vector<Member>>& Sets() {
    static std::map<std::string, std::vector<Member>> sets;
    return sets;
}

// The three decoders, each turning one member into its content in `out`
// and returning the decoded length, or 0 on any failure.
size_t RunDecodeChunk(const Member& m, Bytes& out) {
    uint32_t len = (uint32_t)out.size();
    return DecodeChunk(m.member.data(), (uint32_t)m.member.size(), out.data(), &len) == 8 ? len : 0;
}

size_t RunZlib(const Member& m, Bytes& out) {
    z_stream z{};
    inflateInit2(&z, -15);
    z.next_in = const_cast<Bytef*>(m.member.data() + 3);
    z.avail_in = (uInt)(m.member.size() - 3);
    z.next_out = out.data();
    z.avail_out = (uInt)out.size();
    int rc = inflate(&z, Z_FINISH);
    size_t n = z.total_out;
    inflateEnd(&z);
    const uint8_t* trailer = m.member.data() + m.member.size() - 8;
    uint32_t want = trailer[0] | trailer[1] << 8 | trailer[2] << 16 | (uint32_t)trailer[3] << 24;
    return rc == Z_STREAM_END && crc32(0, out.data(), (uInt)n) == want ? n : 0;
}

libdeflate_decompressor* Decompressor() {
    static libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    return d;
}

size_t RunLibdeflate(const Member& m, Bytes& out) {
    size_t n = 0;
    if (libdeflate_deflate_decompress(Decompressor(), m.member.data() + 3, m.member.size() - 11,
                                      out.data(), out.size(), &n) != LIBDEFLATE_SUCCESS) {
        return 0;
    }
    const uint8_t* trailer = m.member.data() + m.member.size() - 8;
    uint32_t want = trailer[0] | trailer[1] << 8 | trailer[2] << 16 | (uint32_t)trailer[3] << 24;
    return libdeflate_crc32(0, out.data(), n) == want ? n : 0;
}

using Decoder = size_t (*)(const Member&, Bytes&);

void BM_Decode(benchmark::State& state, std::string kind, Decoder decode) {
    const std::vector<Member>& members = Sets()[kind];
    Bytes out(kOutputBuffer);
    for (const Member& m : members) {
        if (decode(m, out) != m.content.size() ||
            memcmp(out.data(), m.content.data(), m.content.size()) != 0) {
            state.SkipWithError("wrong output");
            return;
        }
    }
    size_t bytes = 0;
    for (auto _ : state) {
        for (const Member& m : members) {
            bytes += decode(m, out);
            benchmark::DoNotOptimize(out.data());
        }
    }
    state.SetBytesProcessed((int64_t)bytes);
}

// Console output plus a record of each benchmark's bytes per second.
// The repetitions of the decoders are interleaved at random, so that a busy
// spell of the machine is spread over all of them; each rate is the median
// of its repetitions.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, std::vector<double>> rates;  // every repetition's rate
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end() && run.run_type == Run::RT_Iteration) {
                rates[run.run_name.function_name].push_back(it->second);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double Rate(const std::string& name) {
        std::vector<double>& r = rates[name];
        if (r.empty()) {
            return 0.0;
        }
        std::sort(r.begin(), r.end());
        return r[r.size() / 2];
    }
};

}  // namespace

int main(int argc, char** argv) {
    struct Kind {
        const char* name;
        std::vector<std::string> roots;
        bool text;
    };
    const Kind kinds[] = {{"binary", {"/usr/bin", "/usr/lib"}, false},
                          {"text", {"/usr/share"}, true}};
    for (const Kind& k : kinds) {
        Bytes content = Collect(k.roots, k.text, kPiece * kPiecesPerKind);
        std::vector<Member> members = MakeMembers(content);
        size_t packed = 0;
        for (const Member& m : members) {
            packed += m.member.size();
        }
        fprintf(stderr, "%s: %zu members, %zu bytes of content, %zu packed (%.1f%%)\n", k.name,
                members.size(), members.size() * kPiece, packed,
                members.empty() ? 0.0 : 100.0 * (double)packed / (double)(members.size() * kPiece));
        Sets()[k.name] = std::move(members);
    }
    struct Entry {
        const char* name;
        Decoder decode;
    };
    const Entry decoders[] = {{"DecodeChunk", RunDecodeChunk},
                              {"zlib_inflate_crc32", RunZlib},
                              {"libdeflate_crc32", RunLibdeflate}};
    for (const Kind& k : kinds) {
        for (const Entry& d : decoders) {
            benchmark::RegisterBenchmark((std::string(d.name) + "/" + k.name).c_str(), BM_Decode,
                                         std::string(k.name), d.decode)
                ->Unit(benchmark::kMillisecond)
                ->MinTime(0.5)
                ->Repetitions(7);
        }
    }
    std::vector<char*> args(argv, argv + argc);  // interleaving first; the caller may override
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    int arg_count = (int)args.size();
    benchmark::Initialize(&arg_count, args.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printf("\nOutput MB/s (CPU time, medians of 7 interleaved runs), and the ratio to zlib inflate "
           "+ crc32:\n");
    for (const Kind& k : kinds) {
        double zlib = reporter.Rate("zlib_inflate_crc32/" + std::string(k.name));
        for (const Entry& d : decoders) {
            double r = reporter.Rate(std::string(d.name) + "/" + k.name);
            printf("  %-7s %-20s %8.1f MB/s  x%.2f\n", k.name, d.name, r / 1e6,
                   zlib > 0 ? r / zlib : 0.0);
        }
    }
    // DecodeChunk's ratios beside their goals; a "goal" must be met, an
    // "aim" is what to strive for.
    struct Goal {
        const char* other;  // the decoder compared with
        const char* kind;   // "goal" or "aim"
        double ratio;       // DecodeChunk / other at least
    };
    const Goal goals[] = {{"zlib_inflate_crc32", "goal", 1.0}, {"libdeflate_crc32", "goal", 0.7}};
    printf("\nDecodeChunk against its goals:\n");
    for (const Kind& k : kinds) {
        double ours = reporter.Rate("DecodeChunk/" + std::string(k.name));
        for (const Goal& g : goals) {
            double other = reporter.Rate(std::string(g.other) + "/" + k.name);
            double ratio = other > 0 ? ours / other : 0.0;
            printf("  %-7s DecodeChunk / %-20s %5.2f   %s >= %.2f  %s\n", k.name, g.other, ratio,
                   g.kind, g.ratio, ratio >= g.ratio ? "met" : "MISSED");
        }
    }
    benchmark::Shutdown();
    return 0;
}
