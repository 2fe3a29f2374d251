// handles_bench WORKDIR [LAYER COUNT KIB THREADS]...: what open writers cost.
// For each case it opens COUNT write handles of comp.LAYER(threads=THREADS)
// through xiopopen, writes KIB KiB to each (in 4 KiB writes, the handles
// taking turns, so that every one holds a part-filled block), reads
// /proc/self/status (Threads, VmRSS) while all are open (once the shared
// workers have done the blocks handed to them), has each handle
// xiopflush (its blocks then go through the shared workers) and reads them
// again, then closes them all, reads every file back through the library
// and has the layer's tool test it (gzip -t, zstd -t, xz -t). Prints two
// lines per case, for the handles as written and as flushed:
//   "HANDLES layer count kib threads phase process-threads rss-kib heap-kib
//    goal-kib met"
// where rss-kib is VmRSS with the handles open less VmRSS before they were
// opened (free heap given back to the system first, malloc_trim), over
// COUNT, and heap-kib the same for the bytes malloc has handed out.
// Without cases: zstd 200 1200 2, gzip 1000 100 2, xz 50 100 2. The workers
// are started first, as the mount daemon starts them (xiostartworkers).
// Exit status 1 when a file is wrong, or when a case misses its goal: at
// most 16 threads in the process, and under 256 KiB a handle beyond the
// data of its unfinished block (what it wrote past its last whole block of
// the layer: 1 MiB for zstd and xz, 128 KiB for gzip, 900 KiB for bzip2).
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "xiobyt/stages/shared_pool.h"
#include "xiobyt/xiobyt.h"

namespace {

long status(const char* key) {
  FILE* f = fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long v = -1;
  size_t n = strlen(key);
  while (fgets(line, sizeof line, f))
    if (strncmp(line, key, n) == 0) v = atol(line + n);
  fclose(f);
  return v;
}

// The bytes handle `i` writes: lines that differ between handles, and
// compress as text does.
std::string content(int i, size_t bytes) {
  std::string s;
  s.reserve(bytes + 64);
  for (unsigned line = 0; s.size() < bytes; ++line) {
    unsigned x = (static_cast<unsigned>(i) * 2654435761u) ^ (line * 40503u);
    s += "handle " + std::to_string(i) + " line " + std::to_string(line) + " value " +
         std::to_string(x % 100000) + "\n";
  }
  s.resize(bytes);
  return s;
}

// Bytes malloc has handed out, mapped chunks included.
size_t heapInUse() {
  struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

// Until the shared workers have done every block handed to them.
void waitForPool() {
  for (;;) {
    if (xio::poolCounts().pending == 0) return;
    usleep(10000);
  }
}

const char* tool(const std::string& layer) {
  if (layer == "gzip") return "gzip -t";
  if (layer == "zstd") return "zstd -q -t";
  if (layer == "xz") return "xz -t";
  if (layer == "bzip2") return "bzip2 -t";
  return nullptr;
}

// The input bytes of one block of the layer's writer.
size_t blockKib(const std::string& layer) {
  if (layer == "gzip") return 128;
  if (layer == "bzip2") return 900;
  return 1024;
}

const char* suffix(const std::string& layer) {
  if (layer == "gzip") return ".gz";
  if (layer == "zstd") return ".zst";
  if (layer == "xz") return ".xz";
  return ".bz2";
}

bool runCase(const std::string& work, const std::string& layer, int count, size_t kib,
             int threads) {
  char trace[XIO_TRACE_SIZE] = "";
  std::vector<std::string> names, data;
  for (int i = 0; i < count; ++i) {
    names.push_back(work + "/handle." + std::to_string(i) + suffix(layer));
    data.push_back(content(i, kib << 10));
  }
  malloc_trim(0);
  long rssBefore = status("VmRSS:");
  size_t heapBefore = heapInUse();
  std::vector<XioHandle*> handles;
  std::string state = "state(file='bench')";
  for (int i = 0; i < count; ++i) {
    std::string fs = "write.bin(file='" + names[i] + "' comp." + layer +
                     "(threads=" + std::to_string(threads) + "))";
    XioHandle* h = xiopopen(trace, fs.c_str(), "", &state, 0);
    if (!h) return fprintf(stderr, "open %d: %s\n", i, trace), false;
    handles.push_back(h);
  }
  const size_t piece = 4096;
  for (size_t at = 0; at < (kib << 10); at += piece)
    for (int i = 0; i < count; ++i) {
      size_t n = std::min(piece, data[i].size() - at);
      if (xiopwrite(trace, handles[i], data[i].data() + at, n, static_cast<int64_t>(at)) !=
          static_cast<int64_t>(n))
        return fprintf(stderr, "write %d: %s\n", i, trace), false;
    }
  bool ok = true, met = true;
  auto report = [&](const char* phase) {
    malloc_trim(0);  // freed blocks are not the handles' memory
    long threadsOpen = status("Threads:"), rssOpen = status("VmRSS:");
    double perHandle = static_cast<double>(rssOpen - rssBefore) / count;
    double heap = static_cast<double>(heapInUse() - heapBefore) / 1024 / count;
    double goal = static_cast<double>(kib % blockKib(layer)) + 256;
    bool good = threadsOpen <= 16 && perHandle < goal;
    met = met && good;
    printf("HANDLES %s %d %zu %d %s %ld %.1f %.1f %.0f %s\n", layer.c_str(), count, kib, threads,
           phase, threadsOpen, perHandle, heap, goal, good ? "met" : "missed");
    fflush(stdout);
  };
  waitForPool();
  report("written");
  for (int i = 0; i < count; ++i)
    if (xiopflush(trace, handles[i], 0) != 0)
      ok = false, fprintf(stderr, "flush %d: %s\n", i, trace);
  report("flushed");
  for (int i = 0; i < count; ++i)
    if (xiopclose(trace, handles[i], nullptr, nullptr, nullptr) != 0)
      ok = false, fprintf(stderr, "close %d: %s\n", i, trace);
  for (int i = 0; i < count && ok; ++i) {
    std::string fs = "read.bin(file='" + names[i] + "' comp." + layer + "())";
    XioHandle* h = xiopopen(trace, fs.c_str(), "", nullptr, 0);
    std::string back(data[i].size() + 1, '\0');
    int64_t got = h ? xiopread(trace, h, back.data(), back.size(), 0) : -1;
    if (h) xiopclose(trace, h, nullptr, nullptr, nullptr);
    if (got != static_cast<int64_t>(data[i].size()) || back.compare(0, got, data[i]) != 0)
      ok = false, fprintf(stderr, "%s reads back wrong (%lld bytes)\n", names[i].c_str(),
                          static_cast<long long>(got));
    std::string test = std::string(tool(layer)) + " '" + names[i] + "'";
    if (system(test.c_str()) != 0) ok = false, fprintf(stderr, "%s failed\n", test.c_str());
  }
  for (const std::string& n : names) unlink(n.c_str());
  if (!ok) printf("HANDLES %s %d files wrong\n", layer.c_str(), count);
  return ok && met;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || (argc - 2) % 4 != 0) {
    fprintf(stderr, "usage: handles_bench WORKDIR [LAYER COUNT KIB THREADS]...\n");
    return 2;
  }
  rlimit files{};  // a thousand handles, each with its file
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  if (xiostartworkers() < 0) perror("xiostartworkers");  // the blocks then go inline
  std::vector<std::string> cases(argv + 2, argv + argc);
  if (cases.empty())
    cases = {"zstd", "200", "1200", "2", "gzip", "1000", "100", "2", "xz", "50", "100", "2"};
  bool all = true;
  for (size_t i = 0; i + 3 < cases.size(); i += 4) {
    if (!tool(cases[i])) return fprintf(stderr, "unknown layer %s\n", cases[i].c_str()), 2;
    all &= runCase(argv[1], cases[i], atoi(cases[i + 1].c_str()),
                   static_cast<size_t>(atol(cases[i + 2].c_str())), atoi(cases[i + 3].c_str()));
  }
  return all ? 0 : 1;
}
