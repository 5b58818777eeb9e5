// Times cab_extractor::extract on one cabinet, several times, and prints the
// best run in MB/s (10^6 bytes of extracted files per second).
//   bench_extract.exe CABINET WORKFOLDER RUNS
// WORKFOLDER is emptied and used for the cabinet's copy (the extractor deletes
// the cabinet it is given) and the destination.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "palvane/dll-api/win/extractor.h"
#include "utils/win/FileMgr.h"
#include "utils/win/stringconv.h"

namespace {

unsigned long long bytesBelow(const std::wstring& folder) {
    unsigned long long total = 0;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return 0;
    do {
        if (wcscmp(data.cFileName, L".") == 0 || wcscmp(data.cFileName, L"..") == 0) continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            total += bytesBelow(folder + data.cFileName + L"\\");
        } else {
            total += (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return total;
}

double seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// One extraction into a fresh destination; the time of extract() alone.
bool runOnce(const std::string& cabinet, const std::string& work, double& elapsed, unsigned long long& bytes) {
    FileMgr files(work);
    files.removeAll("dest");
    const std::string destination = work + "dest\\";
    const std::string copy = work + "bench.cab";
    if (!CreateDirectoryA(destination.c_str(), nullptr) || !CopyFileA(cabinet.c_str(), copy.c_str(), FALSE)) {
        std::fprintf(stderr, "cannot prepare %s\n", work.c_str());
        return false;
    }
    PALVANE_SERVICE::cab_extractor extractor(destination, copy);
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    const bool ok = extractor.extract();
    QueryPerformanceCounter(&end);
    elapsed = seconds(start, end);
    std::wstring wideDestination;
    toWide(destination, wideDestination);
    bytes = bytesBelow(wideDestination);
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_extract CABINET WORKFOLDER RUNS\n");
        return 2;
    }
    std::string cabinet, work;
    toUtf8(argv[1], cabinet);
    toUtf8(argv[2], work);
    if (work.back() != '\\') work += '\\';
    const int runs = _wtoi(argv[3]);
    double best = 0;
    unsigned long long bytes = 0;
    for (int run = 0; run < runs; ++run) {
        double elapsed = 0;
        if (!runOnce(cabinet, work, elapsed, bytes)) {
            std::fprintf(stderr, "extraction failed\n");
            return 1;
        }
        if (run == 0 || elapsed < best) best = elapsed;
    }
    std::printf("cab_extractor %.1f MB/s (%llu bytes, best of %d: %.3f s)\n", bytes / best / 1e6, bytes, runs, best);
    FileMgr(work).removeAll("dest");
    return 0;
}
