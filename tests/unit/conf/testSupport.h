// Helpers shared by the configuration tests: temporary roots and raw access
// to stored values, independent of confdb's own reader and writer.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <lmdb.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// A directory under TMPDIR, removed with its content at destruction.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vaskconf.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::string le32(uint32_t word) {
  return std::string{static_cast<char>(word & 0xFF), static_cast<char>((word >> 8) & 0xFF),
                     static_cast<char>((word >> 16) & 0xFF), static_cast<char>(word >> 24)};
}

// Stores `value` under the 4-byte key `index` with plain LMDB calls.
inline int rawPut(MDB_env* env, const char* db, int32_t index, const std::string& value) {
  MDB_txn* txn = nullptr;
  int rc = mdb_txn_begin(env, nullptr, 0, &txn);
  if (rc != 0) return rc;
  MDB_dbi dbi;
  rc = mdb_dbi_open(txn, db, MDB_CREATE | MDB_INTEGERKEY, &dbi);
  MDB_val key{sizeof index, &index};
  MDB_val data{value.size(), const_cast<char*>(value.data())};
  if (rc == 0) rc = mdb_put(txn, dbi, &key, &data, 0);
  if (rc != 0) {
    mdb_txn_abort(txn);
    return rc;
  }
  return mdb_txn_commit(txn);
}

// Reads the value under `index`; sets *rc to the LMDB result.
inline std::string rawGet(MDB_env* env, const char* db, int32_t index, int* rc) {
  MDB_txn* txn = nullptr;
  *rc = mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn);
  if (*rc != 0) return {};
  MDB_dbi dbi;
  std::string out;
  *rc = mdb_dbi_open(txn, db, MDB_INTEGERKEY, &dbi);
  MDB_val key{sizeof index, &index};
  MDB_val data;
  if (*rc == 0) *rc = mdb_get(txn, dbi, &key, &data);
  if (*rc == 0) out.assign(static_cast<const char*>(data.mv_data), data.mv_size);
  mdb_txn_abort(txn);
  return out;
}

// Runs a shell command and returns its standard output; *status gets the
// exit status.
inline std::string commandOutput(const std::string& command, int* status) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    *status = -1;
    return out;
  }
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  const int raw = pclose(pipe);
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// What a program run printed and how it ended.
struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs `program` (also its argv[0]) with `args`, standard input read from
// `input`.
inline Outcome run(const std::string& program, const std::vector<std::string>& args,
                   const std::string& input = "/dev/null") {
  TempDir capture;
  const std::string outPath = capture.path() + "/out";
  const std::string errPath = capture.path() + "/err";
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open(input.c_str(), O_RDONLY);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0) _exit(120);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execv(program.c_str(), argv.data());
    _exit(121);
  }
  Outcome result;
  int raw = 0;
  if (pid < 0 || waitpid(pid, &raw, 0) != pid) return result;
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  result.out = slurp(outPath);
  result.err = slurp(errPath);
  return result;
}
