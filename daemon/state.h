// The daemon's state from start-up: its version, its arguments, the index
// environment and the root. Written by main() and vaskFS_init before the
// first request is served, only read afterwards, so it needs no lock.
//
// Names: every operation works with root-relative names (the working
// directory is the root). The logical name is the FUSE path without its
// leading "/", "." for the root; the physical name is what it maps to.
#pragma once

#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <lmdb.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "confdb.h"

constexpr const char* VASKFS_VERSION = "5.1.4";
constexpr int VASKFS_BUILD = 32853;
constexpr const char* VASKFS_BUILD_TYPE = "RELEASE";

struct VaskfsArgs {
  std::string mountDir;   // absolute after start-up; a trailing "/" stays
  std::string rootDir;    // absolute, one trailing "/" removed ("/" stays "/")
  std::string view;       // view mode only
  std::string indexDir;   // -o index=, absolute; empty: <root>/.vaskIndex
  ConfigEntry listEntry;  // work record of the start-up rule listing
  MDB_env* env = nullptr;
  char* fuseArgv[32] = {};
  int fuseArgc = 0;
  uint32_t viewMode = 0;  // 1: read-only view mount
  // The kernel checks permissions itself (default_permissions, given or
  // added for allow_other) before a request arrives.
  bool defaultPermissions = false;
};

extern VaskfsArgs vaskfsArgs;
extern FILE* fileLog;  // null: no log at all
extern int logLevel;   // 1 error, 2 info, 3 debug, 4 trace
extern int savefd;     // the root, reopened by vaskFS_init
// Set by vaskFS_init: libfuse's request context exists only while it
// serves (outside, fuse_get_context reads a thread key that is not its own).
extern bool fuseServing;
// The exit status when vaskFS_init cannot open the index again (0: it could).
extern int initFailure;

void printVersion(const char* program, FILE* stream);
void printAbout(const char* program, FILE* stream);
void usage(const char* program);

// The index environment (<root>/.vaskIndex[/<view>], or <indexDir>[/<view>])
// into vaskfsArgs.env:
// created when missing (never a view's), with the daemon's messages at
// level error. Returns 0, an LMDB or system error number, or 255 when the
// directory cannot be made; on failure env stays null.
std::string indexPath();
int openIndex();
void closeIndexEnvironment();

// The logical name of a FUSE path: without its first character, "." for a
// null path or one of at most one character.
std::string logicalName(const char* path);

// Whether a component of `path` begins with ".vaskIndex": the index and
// the daemon's temporary files, never reachable through the mount.
bool reservedPath(std::string_view path);
