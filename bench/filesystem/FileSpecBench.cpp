// filespec_bench: the cost of the Win32 file layer against the bare Win32 calls it is built on.
// Making a FileSpec from a path (normalisation and volume binding) against GetFullPathNameW
// (and, on a removable drive, against the GetVolumeInformationW it needs every time),
// IsPresent against GetFileAttributesExW, and reading a 64 MiB file through a FileChannel in
// 4 KiB and 1 MiB reads against a raw ReadFile loop over the same sizes (goal: within 1.1x),
// with the cost of one 4 KiB read on an open file beside it.
#include "Private/FileChannel.h"
#include "Private/FilePath.h"
#include "Private/FileSpec.h"
#include "Private/Windows/FileSystem_Win32_Install.h"
#include "Private/Windows/TalvenWindows.h"
#include "Private/Windows/Win32Handle.h"
#include "bench/filesystem/BenchSupport.h"

#include <cstdint>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t BigFileSize = 64ull << 20;

void Check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(what);
    }
}

// Keeps results alive so that no loop is optimised away.
volatile std::uint64_t sink = 0;

std::uint64_t ReadWithChannel(const FileSpec& file, std::vector<unsigned char>& buffer,
                              std::size_t chunk) {
    const FileChannel channel = file.OpenChannel(FileSystem::ModeRead);
    std::uint64_t total = 0;
    std::size_t got = 0;
    do {
        channel.Read(buffer.data(), chunk, got);
        total += got;
    } while (got == chunk);
    channel.Close();
    return total;
}

// The same work with the calls a caller would make without the library: the access and sharing
// the channel asks for, and ReadFile until it delivers nothing.
std::uint64_t ReadRaw(const std::wstring& path, std::vector<unsigned char>& buffer,
                      std::size_t chunk) {
    Win32Res::FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        throw std::runtime_error("CreateFileW failed");
    }
    std::uint64_t total = 0;
    DWORD got = 0;
    do {
        if (!::ReadFile(file.Get(), buffer.data(), static_cast<DWORD>(chunk), &got, nullptr)) {
            throw std::runtime_error("ReadFile failed");
        }
        total += got;
    } while (got != 0);
    return total;
}

// Whole-file reads, `runs` times each; the short 1 MiB passes can afford more runs.
void CompareReads(Bench::Table& table, const FileSpec& file, const std::wstring& path,
                  std::size_t chunk, int runs, const char* label, const char* rawLabel) {
    std::vector<unsigned char> buffer(chunk);
    const std::vector<double> times = Bench::BestTogether(
        runs, [] {},
        {[&] {
             Check(ReadWithChannel(file, buffer, chunk) == BigFileSize,
                   "the channel read a wrong size");
         },
         [&] {
             Check(ReadRaw(path, buffer, chunk) == BigFileSize, "ReadFile read a wrong size");
         }});
    table.Add(label, times[0], {{rawLabel, times[1]}});
}

int Run() {
    FileSystem_Win32::Install();
    const Bench::ScratchFolder scratch(L"talven_filespec_bench");
    const std::wstring smallPath = scratch.Child(L"small.txt");
    const std::wstring missingPath = scratch.Child(L"missing.txt");
    const std::wstring bigPath = scratch.Child(L"big.bin");
    Bench::WriteFileOfSize(smallPath, 100);
    Bench::WriteFileOfSize(bigPath, BigFileSize);

    Bench::Table table;

    // Making a file spec (the caller already holds the FilePath) against the one OS call a caller
    // would make anyway (goal: within 20x). The volume of a fixed disk is read once per process,
    // so only the first spec on C: pays for GetVolumeInformationW; the optical drive T: (when the
    // test fixture made it) is read for every spec, so a swapped medium is seen.
    const FilePath smallFilePath(smallPath);
    const std::vector<double> make = Bench::MeasureTogether({
        [&] { sink = sink + FileSpec(smallFilePath).IsNull(); },
        [&] {
            wchar_t full[MAX_PATH];
            sink = sink + ::GetFullPathNameW(smallPath.c_str(), MAX_PATH, full, nullptr);
        },
    });
    table.Add("FileSpec from a path (fixed disk)", make[0],
              {{"GetFullPathNameW (goal: within 20x)", make[1]}});
    const FilePath onT(L"T:\\x.txt");
    if (::GetDriveTypeW(L"T:\\") == DRIVE_CDROM) {
        const std::vector<double> removable = Bench::MeasureTogether(
            {[&] { sink = sink + FileSpec(onT).IsNull(); },
             [&] {
                 DWORD serial = 0;
                 sink = sink + ::GetVolumeInformationW(L"T:\\", nullptr, 0, &serial, nullptr,
                                                       nullptr, nullptr, 0);
             }},
            Bench::Pick::Best, 9);
        table.Add("FileSpec from a path (optical T:)", removable[0],
                  {{"GetVolumeInformationW", removable[1]}});
    }

    // Existence of a file that is there and of one that is not.
    const FileSpec small(smallFilePath);
    const FileSpec missing{FilePath(missingPath)};
    const auto attributesOf = [](const std::wstring& path) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        sink = sink + ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    };
    const std::vector<double> present = Bench::MeasureTogether({
        [&] { sink = sink + small.IsPresent(); },
        [&] { attributesOf(smallPath); },
        [&] { sink = sink + missing.IsPresent(); },
        [&] { attributesOf(missingPath); },
    });
    table.Add("IsPresent, file there", present[0], {{"GetFileAttributesExW", present[1]}});
    table.Add("IsPresent, file missing", present[2], {{"GetFileAttributesExW", present[3]}});

    // Whole-file reads: open, read to the end, close. The first pass brings the file into the
    // OS cache, so all timed passes read from memory.
    const FileSpec big{FilePath(bigPath)};
    {
        std::vector<unsigned char> warm(1 << 20);
        ReadRaw(bigPath, warm, warm.size());
    }
    CompareReads(table, big, bigPath, 4096, 15, "Read 64 MiB, FileChannel 4 KiB reads",
                 "ReadFile, 4 KiB");
    CompareReads(table, big, bigPath, 1 << 20, 41, "Read 64 MiB, FileChannel 1 MiB reads",
                 "ReadFile, 1 MiB");

    // The same reads without the opening and closing: batches of 64 reads of 4 KiB from the start
    // of a file that stays open, so that the many short runs see the cost of one call.
    {
        constexpr int Batch = 64;
        std::vector<unsigned char> buffer(4096);
        const FileChannel channel = big.OpenChannel(FileSystem::ModeRead);
        const Win32Res::FileHandle raw(::CreateFileW(bigPath.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                                     nullptr));
        Check(raw.IsValid(), "CreateFileW failed");
        const std::vector<double> batch = Bench::MeasureTogether({
            [&] {
                channel.SetPosition(0);
                std::size_t got = 0;
                for (int i = 0; i < Batch; ++i) {
                    channel.Read(buffer.data(), buffer.size(), got);
                }
            },
            [&] {
                LARGE_INTEGER start = {};
                ::SetFilePointerEx(raw.Get(), start, nullptr, FILE_BEGIN);
                DWORD got = 0;
                for (int i = 0; i < Batch; ++i) {
                    ::ReadFile(raw.Get(), buffer.data(), 4096, &got, nullptr);
                }
            },
        });
        table.Add("One 4 KiB Read on an open FileChannel", batch[0] / Batch,
                  {{"ReadFile, 4 KiB, open handle", batch[1] / Batch}});
    }

    table.Print();
    return 0;
}

} // namespace

int main() {
    try {
        return Run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "filespec_bench failed: %s\n", error.what());
        return 1;
    }
}
