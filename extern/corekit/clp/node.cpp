// The parse tree.
#include <strings.h>

#include "corekit/clp/clp.h"

const ClpNode* ClpNode::find(std::string_view key) const {
  for (const ClpNode& child : children) {
    if (child.keyword.size() == key.size() &&
        strncasecmp(child.keyword.data(), key.data(), key.size()) == 0) {
      return &child;
    }
  }
  return nullptr;
}
