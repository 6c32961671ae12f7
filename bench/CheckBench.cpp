// How long the check of a game folder takes, with the updater's own check
// and digest cache. Two measures, each one line:
//
//   orvanta-check-bench up-to-date FOLDER GIB FILES
//     lays out FILES sparse files of GIB GiB in all (modified an hour ago,
//     as installed files are), checks them once with an empty cache (every
//     byte read), then once more in the same way a later update does: the
//     cache loaded from its file, every file's stamp looked up, the cache
//     saved again.
//   orvanta-check-bench repair FOLDER MIB FILES
//     writes FILES files of random bytes, MIB MiB in all, reads them once
//     so that they sit in the page cache, then checks them as a repair does
//     (no cache): the hashing rate, not the disk's.
#include "transfer/DigestCache.h"
#include "transfer/LocalCheck.h"

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

std::vector<orvanta::CheckItem> Items(const fs::path& folder, int nFiles)
{
    std::vector<orvanta::CheckItem> items;
    for (int i = 0; i < nFiles; ++i) {
        const std::string name = "data/pack" + std::to_string(i) + ".bin";
        items.push_back({folder / name, name, fs::file_size(folder / name), orvanta::Sha256Digest{}});
    }
    return items;
}

// Runs a check to its end; the digests it read become the items' own.
double Check(std::vector<orvanta::CheckItem>* pItems, std::shared_ptr<orvanta::CDigestCache> pCache,
             std::size_t* pInPlace)
{
    const auto start = Clock::now();
    orvanta::CLocalCheck check(*pItems, pCache, 2);
    const auto& outcomes = check.Outcomes();
    const double nSeconds = Seconds(start);
    *pInPlace = 0;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        if (outcomes[i].hashed) {
            (*pItems)[i].digest = outcomes[i].hashed;
            if (pCache)
                pCache->Put((*pItems)[i].key, *outcomes[i].stamp, *outcomes[i].hashed, outcomes[i].nVerifiedNs);
        }
        *pInPlace += outcomes[i].bInPlace ? 1 : 0;
    }
    return nSeconds;
}

int UpToDate(const fs::path& folder, double dGiB, int nFiles)
{
    fs::create_directories(folder / "data");
    const auto nEach = std::uint64_t(dGiB * 1024 * 1024 * 1024 / nFiles);
    const auto anHourAgo = fs::file_time_type::clock::now() - std::chrono::hours(1);
    for (int i = 0; i < nFiles; ++i) {
        const fs::path path = folder / ("data/pack" + std::to_string(i) + ".bin");
        std::ofstream(path, std::ios::binary | std::ios::trunc);
        fs::resize_file(path, nEach);
        fs::last_write_time(path, anHourAgo);
    }
    const fs::path cacheFile = folder / "digests";
    fs::remove(cacheFile);
    std::vector<orvanta::CheckItem> items = Items(folder, nFiles);

    std::size_t nInPlace = 0;
    auto pCache = std::make_shared<orvanta::CDigestCache>(folder.string());
    const double dFirst = Check(&items, pCache, &nInPlace);
    pCache->Save(cacheFile);
    std::printf("first check: %d files, %.1f GiB read in %.2f s (%.2f GB/s)\n", nFiles, dGiB, dFirst,
                dGiB * 1.073741824 / dFirst);

    const auto start = Clock::now();
    auto pLoaded = std::make_shared<orvanta::CDigestCache>(orvanta::CDigestCache::Load(cacheFile, folder.string()));
    Check(&items, pLoaded, &nInPlace);
    pLoaded->Save(cacheFile);
    std::printf("second check: %zu of %d files in place, %.1f GiB, in %.3f s (cache load, check, save)\n", nInPlace,
                nFiles, dGiB, Seconds(start));
    return nInPlace == std::size_t(nFiles) ? 0 : 1;
}

int Repair(const fs::path& folder, int nMiB, int nFiles)
{
    fs::create_directories(folder / "data");
    std::mt19937_64 random(7);
    const std::size_t nEach = std::size_t(nMiB) * 1024 * 1024 / std::size_t(nFiles);
    std::vector<std::uint64_t> block(1024 * 1024 / 8);
    for (int i = 0; i < nFiles; ++i) {
        std::ofstream out(folder / ("data/pack" + std::to_string(i) + ".bin"), std::ios::binary | std::ios::trunc);
        for (std::size_t nDone = 0; nDone < nEach; nDone += block.size() * 8) {
            for (auto& word : block)
                word = random();
            out.write(reinterpret_cast<const char*>(block.data()),
                      std::streamsize(std::min(nEach - nDone, block.size() * 8)));
        }
    }
    std::vector<orvanta::CheckItem> items = Items(folder, nFiles);
    std::size_t nInPlace = 0;
    Check(&items, nullptr, &nInPlace);  // into the page cache; the digests become the items'
    double dBest = 1e9;
    for (int nRound = 0; nRound < 3; ++nRound)
        dBest = std::min(dBest, Check(&items, nullptr, &nInPlace));
    const double dBytes = double(nEach) * nFiles;
    std::printf("repair check: %zu of %d files in place, %d MiB in %.3f s: %.2f GB/s\n", nInPlace, nFiles, nMiB, dBest,
                dBytes / dBest / 1e9);
    return nInPlace == std::size_t(nFiles) ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s up-to-date FOLDER GIB FILES | repair FOLDER MIB FILES\n", argv[0]);
        return 2;
    }
    const std::string what = argv[1];
    if (what == "up-to-date")
        return UpToDate(argv[2], std::atof(argv[3]), std::atoi(argv[4]));
    if (what == "repair")
        return Repair(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    return 2;
}
