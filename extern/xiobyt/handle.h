// The conversion handle behind the opaque XioHandle of xiobyt.h, shared by
// the calls in api.cpp and size.cpp. Owns its file descriptor and pipeline;
// used by one thread at a time.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "xiobyt/pipeline.h"
#include "xiobyt/settings.h"
#include "xiobyt/stages/stages.h"
#include "xiobyt/xiobyt.h"

struct XioHandle {
  bool write = false;
  std::string fileString, physical;
  xio::FileSpec spec;
  xio::FormatSpec format;
  xio::StateSpec state;
  int64_t startOffset = 0;
  xio::FdGuard fd;
  std::unique_ptr<xio::Pipeline> pipe;
  xio::FileStage* file = nullptr;       // inside pipe
  xio::AutoStage* autoStage = nullptr;  // inside pipe, reading with auto
  int broken = 0;                       // errno of a failure that ended the stream

  // Writing: the next offset expected and, when the first stage is a codec,
  // the application's small writes gathered into large blocks.
  int64_t expected = 0;
  bool gather = false;
  std::vector<uint8_t> head;

  // Reading: the converted bytes from tailBase on, tailLen of them.
  std::vector<uint8_t> tail;
  int64_t tailBase = 0;
  size_t tailLen = 0;
  bool restart = false;  // the pipeline must start over before the next read
  uint64_t fileBytes = 0, appBytes = 0;
};

namespace xio {
// Opens like xiopopen; a failure is traced as a failure of `call`.
XioHandle* openHandle(char* trace, const char* call, const char* fileString,
                      const char* formatString, std::string* state, int64_t offset);
// Builds (or, reading, rebuilds from the start of the file) the pipeline of
// an open handle. Returns 0 or an errno with the cause in `why`.
int buildPipeline(XioHandle& h, std::string& why);
// Reads converted bytes like xiopread, without the argument checks.
int64_t readAt(char* trace, XioHandle& h, uint8_t* buffer, size_t count, int64_t offset);
}  // namespace xio
