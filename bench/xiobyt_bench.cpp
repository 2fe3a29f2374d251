// xiobyt_bench CORPUS WORKDIR [REPEATS [RANDOM_BYTES]]: writes the corpus through the byte
// interface and reads it back for each case, and prints one line per
// measurement: "RESULT case op chunk seconds bytes physical-bytes peak-kib",
// the best of REPEATS runs. A write is timed from the corpus in memory to
// the closed file, a read from the file to a buffer of `chunk` bytes.
// peak-kib is the peak resident memory of the case above what the process
// held before it (the corpus included). An untimed read verifies every byte.
// After the cases, "SIZE seekable-zstd bytes seconds" times xiopsize of a
// seekable zstd file of 1 GiB (the corpus repeated) made for the purpose.
// The age case encrypts for WORKDIR/age-key.txt (made by age-keygen), and
// "SCRYPT logn seconds" times one scrypt derivation at logn 18 (a file
// written with a passphrase: each gets a fresh salt, so nothing is cached).
// BENCH_CASES="name name ..." runs only the cases named (and, unless it
// names "size" or "random", skips the xiopsize timing and the random reads).
// The last two cases check that memory stays flat where a line never ends
// (text) and where lines become records (format.text over rec).
// Then "RANDOM layer median-s p90-s reads sequential-s bytes physical-bytes"
// for random reads of 4 KiB at random offsets through one handle into a
// seekable zstd file (level 3) and an xz file (level 6, 1 MiB blocks) of
// RANDOM_BYTES (default 1 GiB, the corpus repeated), each read timed on its
// own, against one sequential read of the whole file in 1 MiB chunks. The
// two files are kept in WORKDIR and made again only when missing or of
// another size. REPEATS 0 runs the random reads only.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "xiobyt/xiobyt.h"

namespace {

struct Case {
  const char* name;
  const char* fileString;  // %s: the physical name
  const char* format;
  bool oneLine;    // the corpus with every line end but the last made a blank
  bool largeOnly;  // timed with 1 MiB chunks only
};

const Case kCases[] = {
    {"bin", "write.bin(file='%s')", "", false, false},
    {"text-1047-NL", "write.text(file='%s' ccsid='IBM-1047' method=NL)",
     "format.text(ccsid='UTF-8' method=LF)", false, false},
    {"gzip-6-T1", "write.bin(file='%s' comp.gzip(level=6 threads=1))", "", false, false},
    {"gzip-6-T2", "write.bin(file='%s' comp.gzip(level=6 threads=2))", "", false, true},
    {"zstd-3-T1", "write.bin(file='%s' comp.zstd(level=3 threads=1))", "", false, true},
    {"zstd-3-T2", "write.bin(file='%s' comp.zstd(level=3 threads=2))", "", false, true},
    {"xz-6-T1", "write.bin(file='%s' comp.xz(level=6 threads=1))", "", false, true},
    {"xz-6-T2", "write.bin(file='%s' comp.xz(level=6 threads=2))", "", false, true},
    {"bzip2-9", "write.bin(file='%s' comp.bzip2(level=9))", "", false, true},
    {"base64", "write.bin(file='%s' enc.base64())", "", false, true},
    {"hex", "write.bin(file='%s' enc.hex())", "", false, true},
    // %s twice: the physical name, then the identity file.
    {"age-X25519", "write.bin(file='%s' encr.age(identity='%s'))", "", false, false},
    {"1047-one-line", "write.text(file='%s' ccsid='IBM-1047' method=NL)",
     "format.text(ccsid='UTF-8' method=LF)", true, true},
    {"rec-VAR-1047", "write.rec(file='%s' recf=VAR recl=65531 ccsid='IBM-1047')",
     "format.text(ccsid='UTF-8' method=LF)", false, true},
};

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A field of /proc/self/status in KiB.
long statusKiB(const char* field) {
  FILE* f = fopen("/proc/self/status", "r");
  if (!f) return 0;
  char line[256];
  long kib = 0;
  size_t n = strlen(field);
  while (fgets(line, sizeof line, f))
    if (strncmp(line, field, n) == 0) kib = atol(line + n);
  fclose(f);
  return kib;
}

// Starts a new peak of resident memory; returns the resident memory now.
long resetPeak() {
  if (FILE* f = fopen("/proc/self/clear_refs", "w")) {
    fputs("5", f);
    fclose(f);
  }
  return statusKiB("VmRSS:");
}

int64_t fileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

bool writeCase(const std::string& fs, const char* format, const std::string& data, size_t chunk,
               std::string& inverse, std::string& inverseFormat) {
  char trace[XIO_TRACE_SIZE] = "";
  std::string state = "state(file='bench' comment='xiobyt bench')";
  XioHandle* h = xiopopen(trace, fs.c_str(), format, &state, 0);
  if (!h) return fprintf(stderr, "%s", trace), false;
  for (size_t at = 0; at < data.size(); at += chunk) {
    size_t n = std::min(chunk, data.size() - at);
    if (xiopwrite(trace, h, data.data() + at, n, static_cast<int64_t>(at)) != int64_t(n))
      return fprintf(stderr, "%s", trace), false;
  }
  XioStateList states;
  if (xiopclose(trace, h, &states, &inverse, &inverseFormat) != 0)
    return fprintf(stderr, "%s", trace), false;
  return true;
}

bool readCase(const std::string& command, const std::string& format, const std::string& data,
              size_t chunk, bool verify) {
  char trace[XIO_TRACE_SIZE] = "";
  XioHandle* h = xiopopen(trace, command.c_str(), format.c_str(), nullptr, 0);
  if (!h) return fprintf(stderr, "%s", trace), false;
  std::vector<char> buf(chunk);
  size_t at = 0;
  for (;;) {
    int64_t n = xiopread(trace, h, buf.data(), chunk, static_cast<int64_t>(at));
    if (n < 0) return fprintf(stderr, "%s", trace), false;
    if (n == 0) break;
    if (at + size_t(n) > data.size() ||
        (verify && memcmp(buf.data(), data.data() + at, size_t(n)) != 0))
      return fprintf(stderr, "data differs near offset %zu\n", at), false;
    at += size_t(n);
  }
  xiopclose(trace, h, nullptr, nullptr, nullptr);
  if (at != data.size()) return fprintf(stderr, "short read: %zu bytes\n", at), false;
  return true;
}

// Writes `bytes` of the corpus repeated through `fileString`; false with
// the trace printed.
bool writeRepeated(const std::string& fileString, const std::string& data, int64_t bytes) {
  char trace[XIO_TRACE_SIZE] = "";
  std::string state = "state(file='bench')";
  XioHandle* h = xiopopen(trace, fileString.c_str(), "", &state, 0);
  if (!h) return fprintf(stderr, "%s", trace), false;
  for (int64_t at = 0; at < bytes;) {
    size_t n =
        static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(data.size()), bytes - at));
    if (xiopwrite(trace, h, data.data(), n, at) != static_cast<int64_t>(n))
      return fprintf(stderr, "%s", trace), xiopclose(trace, h, nullptr, nullptr, nullptr), false;
    at += static_cast<int64_t>(n);
  }
  if (xiopclose(trace, h, nullptr, nullptr, nullptr) != 0)
    return fprintf(stderr, "%s", trace), false;
  return true;
}

// Random 4 KiB reads into a file of the corpus repeated, each checked
// against the corpus (untimed), then one sequential read of it.
bool randomCase(const char* layer, const std::string& writer, const std::string& reader,
                const std::string& physical, const std::string& data, int64_t bytes) {
  char trace[XIO_TRACE_SIZE] = "";
  if (xiopsize(trace, reader.c_str(), "") != bytes) {
    trace[0] = '\0';
    if (!writeRepeated(writer, data, bytes)) return false;
  }
  XioHandle* h = xiopopen(trace, reader.c_str(), "", nullptr, 0);
  if (!h) return fprintf(stderr, "%s", trace), false;
  std::mt19937_64 rng(42);
  const size_t chunk = 4096;
  const int reads = 300;
  std::vector<char> buf(chunk);
  std::vector<double> times;
  for (int i = 0; i < reads; ++i) {
    int64_t at = static_cast<int64_t>(rng() % static_cast<uint64_t>(bytes - int64_t(chunk)));
    double t0 = now();
    int64_t n = xiopread(trace, h, buf.data(), chunk, at);
    times.push_back(now() - t0);
    if (n != int64_t(chunk))
      return fprintf(stderr, "random read at %lld: %s", (long long)at, trace), false;
    for (size_t k = 0; k < chunk; ++k)
      if (buf[k] != data[static_cast<size_t>(at + int64_t(k)) % data.size()])
        return fprintf(stderr, "%s: data differs at %lld\n", layer, (long long)(at + int64_t(k))),
               false;
  }
  xiopclose(trace, h, nullptr, nullptr, nullptr);
  std::sort(times.begin(), times.end());
  double t0 = now();
  h = xiopopen(trace, reader.c_str(), "", nullptr, 0);
  if (!h) return fprintf(stderr, "%s", trace), false;
  std::vector<char> big(1 << 20);
  int64_t total = 0;
  for (int64_t n; (n = xiopread(trace, h, big.data(), big.size(), total)) > 0;) total += n;
  xiopclose(trace, h, nullptr, nullptr, nullptr);
  double seq = now() - t0;
  if (total != bytes)
    return fprintf(stderr, "%s: sequential read gave %lld bytes\n", layer, (long long)total), false;
  printf("RANDOM %s %.6f %.6f %d %.4f %lld %lld\n", layer, times[times.size() / 2],
         times[times.size() * 9 / 10], reads, seq, static_cast<long long>(bytes),
         static_cast<long long>(fileSize(physical)));
  fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: xiobyt_bench CORPUS WORKDIR [REPEATS [RANDOM_BYTES]]\n");
    return 2;
  }
  int repeats = argc > 3 ? atoi(argv[3]) : 3;
  std::string data(static_cast<size_t>(std::max<int64_t>(fileSize(argv[1]), 0)), '\0');
  FILE* in = fopen(argv[1], "rb");
  if (!in || fread(data.data(), 1, data.size(), in) != data.size())
    return fprintf(stderr, "cannot read %s\n", argv[1]), 1;
  fclose(in);
  if (data.empty()) return fprintf(stderr, "empty corpus %s\n", argv[1]), 1;
  std::string oneLine = data;
  std::replace(oneLine.begin(), oneLine.end() - 1, '\n', ' ');
  const char* only = getenv("BENCH_CASES");
  auto wanted = [only](const char* name) {
    if (only == nullptr) return true;
    std::string list = std::string(" ") + only + " ";
    return list.find(std::string(" ") + name + " ") != std::string::npos;
  };
  const int64_t gib = int64_t{1} << 30;
  if (repeats > 0) {  // 0: the random reads only
    for (const Case& c : kCases) {
      if (!wanted(c.name)) continue;
      const std::string& input = c.oneLine ? oneLine : data;
      std::string physical = std::string(argv[2]) + "/xiobyt." + c.name;
      std::string key = std::string(argv[2]) + "/age-key.txt";
      char fs[1024];
      snprintf(fs, sizeof fs, c.fileString, physical.c_str(), key.c_str());
      for (size_t chunk : {size_t(1) << 20, size_t(4096)}) {
        if (c.largeOnly && chunk != size_t(1) << 20) continue;
        long base = resetPeak();
        double bestWrite = 1e9, bestRead = 1e9;
        std::string inverse, inverseFormat;
        for (int r = 0; r < repeats; ++r) {
          double t0 = now();
          if (!writeCase(fs, c.format, input, chunk, inverse, inverseFormat)) return 1;
          double t1 = now();
          if (!readCase(inverse, inverseFormat, input, chunk, false)) return 1;
          double t2 = now();
          bestWrite = std::min(bestWrite, t1 - t0);
          bestRead = std::min(bestRead, t2 - t1);
        }
        // Once more, untimed, comparing every byte.
        if (!readCase(inverse, inverseFormat, input, chunk, true)) return 1;
        long peak = statusKiB("VmHWM:") - base;
        for (const char* op : {"write", "read"})
          printf("RESULT %s %s %zu %.4f %zu %lld %ld\n", c.name, op, chunk,
                 op[0] == 'w' ? bestWrite : bestRead, input.size(),
                 static_cast<long long>(fileSize(physical)), peak);
        fflush(stdout);
      }
    }
    // One scrypt at the default work factor: a small file, a new salt each.
    if (wanted("scrypt")) {
      std::string fs = "write.bin(file='" + std::string(argv[2]) +
                       "/xiobyt.scrypt' encr.age(passphrase='bench' logn=18))";
      double best = 1e9;
      std::string inverse, inverseFormat;
      for (int r = 0; r < repeats; ++r) {
        double t0 = now();
        if (!writeCase(fs, "", "x", 1, inverse, inverseFormat)) return 1;
        best = std::min(best, now() - t0);
      }
      printf("SCRYPT 18 %.4f\n", best);
    }
  }
  if (repeats > 0 && wanted("size")) {
    // xiopsize of 1 GiB of seekable zstd: the seek table, not the data.
    std::string big = std::string(argv[2]) + "/xiobyt.size-1GiB.zst";
    std::string fs = "write.bin(file='" + big + "' comp.zstd(level=1))";
    char trace[XIO_TRACE_SIZE] = "";
    std::string state = "state(file='bench')";
    XioHandle* h = xiopopen(trace, fs.c_str(), "", &state, 0);
    if (!h) return fprintf(stderr, "%s", trace), 1;
    for (int64_t at = 0; at < gib;) {
      size_t n =
          static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(data.size()), gib - at));
      if (xiopwrite(trace, h, data.data(), n, at) != static_cast<int64_t>(n))
        return fprintf(stderr, "%s", trace), 1;
      at += static_cast<int64_t>(n);
    }
    if (xiopclose(trace, h, nullptr, nullptr, nullptr) != 0) return fprintf(stderr, "%s", trace), 1;
    std::string rs = "read.bin(file='" + big + "' comp.zstd())";
    double best = 1e9;
    int64_t size = -1;
    for (int r = 0; r < std::max(repeats, 10); ++r) {
      double t0 = now();
      size = xiopsize(trace, rs.c_str(), "");
      best = std::min(best, now() - t0);
    }
    if (size != gib) return fprintf(stderr, "xiopsize gave %lld: %s", (long long)size, trace), 1;
    printf("SIZE seekable-zstd %lld %.6f\n", static_cast<long long>(size), best);
    unlink(big.c_str());
    fflush(stdout);
  }

  if (!wanted("random")) return 0;
  int64_t randomBytes = argc > 4 ? atoll(argv[4]) : gib;
  std::string zst = std::string(argv[2]) + "/xiobyt.random.zst";
  std::string xz = std::string(argv[2]) + "/xiobyt.random-6.xz";
  std::string age = std::string(argv[2]) + "/xiobyt.random.age";
  std::string key = std::string(argv[2]) + "/age-key.txt";
  if (!randomCase("zstd", "write.bin(file='" + zst + "' comp.zstd(level=3))",
                  "read.bin(file='" + zst + "' comp.zstd())", zst, data, randomBytes) ||
      !randomCase("xz", "write.bin(file='" + xz + "' comp.xz(level=6 threads=2))",
                  "read.bin(file='" + xz + "' comp.xz())", xz, data, randomBytes) ||
      !randomCase("age", "write.bin(file='" + age + "' encr.age(identity='" + key + "'))",
                  "read.bin(file='" + age + "' encr.age(identity='" + key + "'))", age, data,
                  randomBytes))
    return 1;
  return 0;
}
