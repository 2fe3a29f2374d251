// Opening, running and closing a parser, and the check that a table can be
// walked at all.
#include "corekit/clp/handle.h"

#include <new>

namespace {

using clp::kMaxDepth;

// A table the parser can walk: every entry names what its kind needs.
bool tableIsSound(const ClpArg* table, bool choices, int depth) {
  if (table == nullptr) return !choices;
  if (depth > kMaxDepth) return true;  // recursive tables are checked once round
  for (const ClpArg* e = table; e->keyword != nullptr; ++e) {
    if (*e->keyword == '\0' || e->maxOcc < 1 || e->minOcc < 0 || e->minOcc > e->maxOcc) {
      return false;
    }
    if (choices && e->kind != CLP_OBJECT) return false;
    switch (e->kind) {
      case CLP_NUMBER:
        if (e->minValue > e->maxValue) return false;
        break;
      case CLP_CONSTANT:
        if (e->constants == nullptr) return false;
        break;
      case CLP_OBJECT:
        if (!tableIsSound(e->table, false, depth + 1)) return false;
        break;
      case CLP_OVERLAY:
        if (e->table == nullptr || !tableIsSound(e->table, true, depth + 1)) return false;
        break;
      case CLP_ARRAY:
        if (e->elementKind == CLP_OVERLAY) {
          if (e->table == nullptr || !tableIsSound(e->table, true, depth + 1)) return false;
        } else if (e->elementKind == CLP_CONSTANT) {
          if (e->constants == nullptr) return false;
        } else if (e->elementKind != CLP_TEXT && e->elementKind != CLP_NUMBER) {
          return false;
        }
        break;
      default:
        break;
    }
  }
  return true;
}

}  // namespace

ClpHandle* pvClpOpen(const char* /*owner*/, const char* /*program*/, const char* /*version*/,
                     const char* command, const char* /*manual*/, const char* /*help*/, int overlay,
                     const ClpArg* table, ClpNode* area, ParserErrorRefs* errors,
                     ClpFile2StringFn file2string, ClpSafFn saf) {
  if (command == nullptr || table == nullptr || area == nullptr || errors == nullptr) {
    return nullptr;
  }
  if (!tableIsSound(table, overlay != 0, 0)) return nullptr;
  ClpHandle* handle = new (std::nothrow) ClpHandle;
  if (handle == nullptr) return nullptr;
  handle->command = command;
  handle->overlay = overlay != 0;
  handle->table = table;
  handle->area = area;
  handle->errors = errors;
  handle->file2string = file2string;
  handle->saf = saf;
  return handle;
}

int siClpParseCmd(ClpHandle* handle, const char* source, const char* text) {
  if (handle == nullptr) return CLPERR_INTERFACE;
  ParserErrorRefs& errors = *handle->errors;
  *handle->area = ClpNode{};
  try {
    handle->source = source != nullptr ? source : handle->command;
    if (text == nullptr) {
      handle->message = "no text to parse";
      errors = {handle->message.c_str(), handle->source.c_str(), 0, 0};
      return CLPERR_INTERFACE;
    }
    ClpNode root;
    int row = 0, column = 0;
    int rc = clp::parseText(*handle, text, root, row, column);
    if (rc < 0) {
      errors = {handle->message.c_str(), handle->source.c_str(), row, column};
      return rc;
    }
    *handle->area = std::move(root);
    return static_cast<int>(handle->area->children.size());
  } catch (const std::bad_alloc&) {
    *handle->area = ClpNode{};
    errors = {"out of memory while parsing", handle->command, 0, 0};
    return CLPERR_MEMORY;
  }
}

void vdClpClose(ClpHandle* handle, int /*mode*/) { delete handle; }
