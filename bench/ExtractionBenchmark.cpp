// Extraction benchmark: the product package carried in this program (payload 1004, of a size
// the build chose) written with ExtractFileFromResource, against a plain CopyFileW of the same
// bytes on the same volume; and the process's private memory around one extraction.
//
//   bench-extraction-<size>.exe time [rounds]   median and best time of each, and their ratio
//   bench-extraction-<size>.exe memory          private memory before and after one extraction
//
// Everything happens in a scratch folder below the temporary folder, removed at the end.
#include <windows.h>
// psapi.h builds on the types that windows.h declares.
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "payload/PayloadExtraction.h"
#include "res/ResourceIds.h"

namespace {

constexpr wchar_t kCaption[] = L"Extraction benchmark";

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

template <typename Work>
double Time(Work work) {
  LARGE_INTEGER start;
  LARGE_INTEGER end;
  QueryPerformanceCounter(&start);
  const bool ok = work();
  QueryPerformanceCounter(&end);
  if (!ok) {
    std::fprintf(stderr, "operation failed (%lu)\n", GetLastError());
    std::exit(1);
  }
  return Seconds(start, end);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

DWORD PayloadSize() {
  HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(IDP_PRODUCT_PACKAGE), L"EXE");
  return resource != nullptr ? SizeofResource(nullptr, resource) : 0;
}

PROCESS_MEMORY_COUNTERS_EX Memory() {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof(counters);
  GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                       sizeof(counters));
  return counters;
}

double MiB(SIZE_T bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

bool Extract(const std::wstring& folder) {
  return ExtractFileFromResource(IDP_PRODUCT_PACKAGE, GetModuleHandleW(nullptr), kCaption,
                                 L"extracted.msi", folder.c_str());
}

int RunTime(const std::wstring& folder, int rounds) {
  const std::wstring extracted = folder + L"extracted.msi";
  const std::wstring copied = folder + L"copied.msi";
  std::vector<double> extraction;
  std::vector<double> copy;
  // One untimed round of each puts the executable's pages and the source file in the cache, as
  // they are for every later round.
  Time([&] { return Extract(folder); });
  Time([&] { return CopyFileW(extracted.c_str(), copied.c_str(), FALSE) != FALSE; });
  for (int round = 0; round < rounds; ++round) {
    // Each side writes a file that does not exist yet, as a run does; the order alternates so
    // that neither always follows the other's writes.
    auto extractOnce = [&] {
      DeleteFileW(extracted.c_str());
      extraction.push_back(Time([&] { return Extract(folder); }));
    };
    auto copyOnce = [&] {
      DeleteFileW(copied.c_str());
      copy.push_back(
          Time([&] { return CopyFileW(extracted.c_str(), copied.c_str(), FALSE) != FALSE; }));
    };
    if (round % 2 == 0) {
      extractOnce();
      copyOnce();
    } else {
      copyOnce();
      extractOnce();
    }
  }
  const double extractMedian = Median(extraction);
  const double copyMedian = Median(copy);
  std::printf("payload bytes          %lu\n", PayloadSize());
  std::printf("rounds                 %d\n", rounds);
  std::printf("extraction median, ms  %.1f (best %.1f)\n", extractMedian * 1000,
              *std::min_element(extraction.begin(), extraction.end()) * 1000);
  std::printf("CopyFileW median, ms   %.1f (best %.1f)\n", copyMedian * 1000,
              *std::min_element(copy.begin(), copy.end()) * 1000);
  std::printf("extraction / copy      %.2f\n", extractMedian / copyMedian);
  DeleteFileW(extracted.c_str());
  DeleteFileW(copied.c_str());
  return 0;
}

// Private memory is the process's commit charge (PagefileUsage; under Wine its anonymous resident
// pages). A sampling thread keeps the highest value seen while the extraction runs, since a
// counter of the peak is not kept everywhere.
struct PeakSampler {
  volatile LONG stop = 0;
  SIZE_T peak = 0;

  static DWORD WINAPI Sample(void* context) {
    auto* self = static_cast<PeakSampler*>(context);
    while (InterlockedCompareExchange(&self->stop, 0, 0) == 0) {
      self->peak = std::max(self->peak, Memory().PagefileUsage);
      Sleep(1);
    }
    return 0;
  }
};

int RunMemory(const std::wstring& folder) {
  const PROCESS_MEMORY_COUNTERS_EX before = Memory();
  PeakSampler sampler;
  sampler.peak = before.PagefileUsage;
  HANDLE thread = CreateThread(nullptr, 0, &PeakSampler::Sample, &sampler, 0, nullptr);
  const double seconds = Time([&] { return Extract(folder); });
  InterlockedExchange(&sampler.stop, 1);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  const PROCESS_MEMORY_COUNTERS_EX after = Memory();
  const SIZE_T peak = std::max({sampler.peak, after.PagefileUsage, after.PeakPagefileUsage});
  std::printf("payload bytes                   %lu (%.1f MiB)\n", PayloadSize(),
              MiB(PayloadSize()));
  std::printf("extraction, ms                  %.1f\n", seconds * 1000);
  std::printf("private bytes before, MiB       %.1f\n", MiB(before.PagefileUsage));
  std::printf("private bytes after, MiB        %.1f\n", MiB(after.PagefileUsage));
  std::printf("peak private bytes, MiB         %.1f\n", MiB(peak));
  std::printf("peak working set, MiB           %.1f\n", MiB(after.PeakWorkingSetSize));
  DeleteFileW((folder + L"extracted.msi").c_str());
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring mode = argc > 1 ? argv[1] : L"time";
  const int rounds = argc > 2 ? std::max(1, _wtoi(argv[2])) : 7;
  if (PayloadSize() == 0) {
    std::fprintf(stderr, "this program carries no payload 1004\n");
    return 1;
  }
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder =
      std::wstring(temp) + L"bench-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
  CreateDirectoryW(folder.c_str(), nullptr);
  // As in a run: the payload is read from the executable file, held open.
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  HANDLE image = CreateFileW(self, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (image != INVALID_HANDLE_VALUE) {
    ReadPayloadsFrom(image);
  }
  const int result = mode == L"memory" ? RunMemory(folder) : RunTime(folder, rounds);
  ReadPayloadsFrom(nullptr);
  if (image != INVALID_HANDLE_VALUE) {
    CloseHandle(image);
  }
  RemoveDirectoryW(folder.c_str());
  return result;
}
