// Prints how long Hive takes to load and change synthetic user.reg files of
// 1, 10 and 100 MB, and the process's memory. Not a test: run it by hand.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "regservice/wine/hive.h"

namespace {

using regservice::wine::Hive;
using regservice::wine::KeyPath;
using regservice::wine::Name;

// A file in Wine's form: sorted sections, a few values each, some hex lists.
std::string MakeFile(size_t target) {
  std::string text =
      "WINE REGISTRY Version 2\n"
      ";; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n\n"
      "#arch=win64\n";
  char buf[256];
  for (int vendor = 0; text.size() < target; ++vendor) {
    for (int app = 0; app < 20 && text.size() < target; ++app) {
      for (int sub = 0; sub < 10; ++sub) {
        std::snprintf(buf, sizeof(buf),
                      "\n[Software\\\\Vendor%05d\\\\Application %02d\\\\Settings%d] 1796871241\n"
                      "#time=1dd8851b5a866a0\n",
                      vendor, app, sub);
        text += buf;
        text += "\"Path\"=\"C:\\\\Program Files\\\\Vendor\\\\App\\\\bin\"\n";
        text += "\"Version\"=dword:00000003\n";
        text += "\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\n"
                "  16,17,18,19,1a,1b,1c,1d,1e,1f\n";
      }
    }
  }
  return text;
}

double Ms(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now() - since)
      .count();
}

long PeakKib() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Resident memory now, from /proc/self/statm.
long CurrentKib() {
  long pages = 0;
  long resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return -1;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = -1;
  std::fclose(f);
  return resident * 4;
}

}  // namespace

// With a file and a key path ("Software\\Vendor\\Key"): loads the file,
// looks the key up, and prints times and the memory after each step.
int BenchFile(const char* file, const char* key) {
  std::string text;
  if (FILE* f = std::fopen(file, "rb")) {
    std::fseek(f, 0, SEEK_END);
    text.resize(static_cast<size_t>(std::ftell(f)));
    std::fseek(f, 0, SEEK_SET);
    if (std::fread(&text[0], 1, text.size(), f) != text.size()) text.clear();
    std::fclose(f);
  }
  KeyPath path(1);
  for (const char* p = key; *p; ++p) {
    if (*p == '\\') {
      path.emplace_back();
    } else {
      path.back().push_back(static_cast<unsigned char>(*p));
    }
  }
  long before = CurrentKib();
  Hive hive;
  auto t = std::chrono::steady_clock::now();
  regservice::Status status = hive.Load(std::move(text));
  if (!status.ok()) {
    std::fprintf(stderr, "%s: %s\n", file, status.message().c_str());
    return 1;
  }
  double load = Ms(t);
  long loaded = CurrentKib();
  t = std::chrono::steady_clock::now();
  bool exists = hive.KeyExists(path);
  double exists_ms = Ms(t);
  std::printf(
      "%s: load %.1f ms, KeyExists %.1f ms (%d); RSS %ld KiB with the text, "
      "+%ld KiB loaded, +%ld KiB after the lookup, peak %ld KiB\n",
      file, load, exists_ms, exists, before, loaded - before,
      CurrentKib() - before, PeakKib());
  return 0;
}

// Sizes in MB come from the arguments (default 1, 10 and 100); memory
// figures are clearest with one size per run.
int main(int argc, char** argv) {
  if (argc == 3) return BenchFile(argv[1], argv[2]);
  const uint64_t now = 0x1dd884ccfb82800ULL;
  std::vector<size_t> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoul(argv[i], nullptr, 10));
  if (sizes.empty()) sizes = {1, 10, 100};
  for (size_t mb : sizes) {
    // Sized as the store reads a file: its bytes and 64 KiB of room for
    // the edits.
    std::string made = MakeFile(mb << 20);
    std::string text;
    text.reserve(made.size() + (64 << 10));
    text.assign(made);
    std::string().swap(made);
    size_t size = text.size();
    long before = CurrentKib();
    Hive hive;
    auto t = std::chrono::steady_clock::now();
    regservice::Status status = hive.Load(std::move(text));
    if (!status.ok()) {
      std::fprintf(stderr, "%s\n", status.message().c_str());
      return 1;
    }
    double load = Ms(t);
    long loaded = CurrentKib();
    const KeyPath deep = {u"Software", u"Vendor00001", u"Application 07", u"Settings3"};
    t = std::chrono::steady_clock::now();
    bool exists = hive.KeyExists(deep);
    double exists_ms = Ms(t);
    t = std::chrono::steady_clock::now();
    hive.SetValue(deep, u"Version", 4, std::string("\x07\0\0\0", 4), now);
    double set_ms = Ms(t);
    t = std::chrono::steady_clock::now();
    hive.CreateKey({u"Software", u"Vendor00000", u"New Key"}, now);
    double create_ms = Ms(t);
    std::printf(
        "%4zu MB (%zu bytes): load %.1f ms, KeyExists %.3f ms (%d), SetValue %.1f ms, "
        "CreateKey %.1f ms; RSS %ld KiB with the text alone, %ld KiB loaded "
        "(index %ld KiB), peak so far %ld KiB\n",
        mb, size, load, exists_ms, exists, set_ms, create_ms, before, loaded,
        loaded - before, PeakKib());
  }
  return 0;
}
