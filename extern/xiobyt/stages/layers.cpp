// The layers this library converts, by name.
#include <cerrno>

#include "xiobyt/settings.h"
#include "xiobyt/stages/age/age.h"
#include "xiobyt/stages/stages.h"
#include "xiobyt/xiobyt.h"

namespace xio {

namespace {

struct LayerCodec {
  const char* name;
  std::unique_ptr<Stage> (*reader)(std::string& why);
  std::unique_ptr<Stage> (*writer)(const EncoderParams& p, std::string& why);
};

const LayerCodec kCodecs[] = {
    {"gzip", makeGzipReader, makeGzipWriter},
    {"zstd", makeZstdReader, makeZstdWriter},
    {"xz", makeXzReader, makeXzWriter},
    {"bzip2", makeBzip2Reader, makeBzip2Writer},
    {"base64", makeBase64Reader, makeBase64Writer},
    {"hex", makeHexReader, makeHexWriter},
};

const LayerCodec* find(const std::string& layer) {
  for (const LayerCodec& c : kCodecs)
    if (layer == c.name) return &c;
  return nullptr;
}

const LayerCodec* findOrFail(const std::string& layer, std::string& why) {
  const LayerCodec* c = find(layer);
  if (!c) {
    why = "the " + layer + " layer is not supported by xiobyt " + xiovsn();
    errno = ENOTSUP;
  }
  return c;
}

}  // namespace

bool supportedLayer(const std::string& layer) { return layer == "age" || find(layer) != nullptr; }

std::unique_ptr<Stage> makeReader(const std::string& layer, std::string& why) {
  const LayerCodec* c = findOrFail(layer, why);
  return c ? c->reader(why) : nullptr;
}

std::unique_ptr<Stage> makeWriter(const std::string& layer, const EncoderParams& p,
                                  std::string& why) {
  const LayerCodec* c = findOrFail(layer, why);
  if (!c) return nullptr;
  EncoderParams q = p;
  if (q.level < 0) q.level = defaultLevel(layer);
  return c->writer(q, why);
}

// The age layer takes its key from the layer's arguments.
std::unique_ptr<Stage> makeReader(const Layer& layer, std::string& why) {
  return layer.kind == "age" ? makeAgeReader(layer, why) : makeReader(layer.kind, why);
}

std::unique_ptr<Stage> makeWriter(const Layer& layer, const EncoderParams& p, std::string& why) {
  return layer.kind == "age" ? makeAgeWriter(layer, why) : makeWriter(layer.kind, p, why);
}

}  // namespace xio
