// How fast a patch is made and applied, against zstd's own command line on
// the same files in the same run. A pack of --size MiB has --change per
// cent of it rewritten in 20 places; the patch is made at --level, then
// applied --rounds times by the updater's code (digest checked, synced) and
// by `zstd -d --patch-from` followed by `sync --data`. Prints one line per
// measure; bench/delta_bench.sh turns them into the table.
#include "transfer/Crypto.h"
#include "transfer/Delta.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void Fill(std::mt19937_64& rng, char* p, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        p[i] = char(rng());
}

} // namespace

int main(int argc, char** argv)
{
    std::size_t nMiB = 200;
    double change = 1.0;
    int nRounds = 5;
    int nLevel = 19;
    std::string dir = "delta-bench";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--size")
            nMiB = std::strtoul(argv[i + 1], nullptr, 10);
        else if (arg == "--change")
            change = std::strtod(argv[i + 1], nullptr);
        else if (arg == "--rounds")
            nRounds = std::atoi(argv[i + 1]);
        else if (arg == "--level")
            nLevel = std::atoi(argv[i + 1]);
        else if (arg == "--dir")
            dir = argv[i + 1];
    }
    fs::create_directories(dir);
    const fs::path base = fs::path(dir) / "base.pak";
    const fs::path next = fs::path(dir) / "next.pak";
    const fs::path patch = fs::path(dir) / "next.pak.zpatch";
    const fs::path out = fs::path(dir) / "out.pak";
    const std::size_t nSize = nMiB << 20;
    {
        std::mt19937_64 rng(7);
        std::string bytes(nSize, '\0');
        Fill(rng, bytes.data(), nSize);
        std::ofstream(base, std::ios::binary) << bytes;
        const std::size_t nStretch = std::size_t(double(nSize) * change / 100.0 / 20.0);
        for (int i = 0; i < 20; ++i)
            Fill(rng, bytes.data() + (rng() % (nSize - nStretch)), nStretch);
        std::ofstream(next, std::ios::binary) << bytes;
    }
    const auto digest = orvanta::Sha256OfFile(next);
    std::string error;
    const auto made = Clock::now();
    const auto nPatch = orvanta::MakePatch(base, next, patch, {.nLevel = nLevel, .nThreads = 2}, &error);
    const double makeSeconds = Seconds(made);
    if (!nPatch || !digest) {
        std::fprintf(stderr, "delta-bench: %s\n", error.c_str());
        return 1;
    }
    std::printf("file %zu bytes, change %.2f %%, level %d\n", nSize, change, nLevel);
    std::printf("patch %llu bytes (%.2f %% of the file), made in %.1f s\n",
                static_cast<unsigned long long>(*nPatch), 100.0 * double(*nPatch) / double(nSize), makeSeconds);

    std::vector<double> ours;
    std::vector<double> zstd;
    const int nWindowLog = int(std::bit_width(std::uint64_t(nSize))) + 1;
    const std::string command = "zstd -q -f -d --long=" + std::to_string(nWindowLog) + " --patch-from=" +
                                base.string() + " " + patch.string() + " -o " + out.string() +
                                " && sync --data " + out.string();
    for (int r = 0; r < nRounds; ++r) {
        // Alternating who goes first, the page cache warm for both.
        for (int k = 0; k < 2; ++k) {
            fs::remove(out);
            const auto started = Clock::now();
            if ((r + k) % 2 == 0) {
                if (orvanta::ApplyPatch(base, patch, out, nSize, *digest) != orvanta::ApplyResult::Applied)
                    return 1;
                ours.push_back(Seconds(started));
            } else {
                if (std::system(command.c_str()) != 0 || orvanta::Sha256OfFile(out) != digest)
                    return 1;
                zstd.push_back(Seconds(started));
            }
        }
    }
    const double mb = double(nSize) / 1e6;
    std::printf("apply, ours (digest checked, synced): median %.3f s = %.0f MB/s over %d rounds\n", Median(ours),
                mb / Median(ours), nRounds);
    std::printf("apply, zstd -d --patch-from + sync --data: median %.3f s = %.0f MB/s\n", Median(zstd),
                mb / Median(zstd));
    std::printf("ratio ours / zstd: %.2f\n", Median(ours) / Median(zstd));
    fs::remove_all(dir);
    return 0;
}
