// xiobyt: the conversion byte interface.
//
// A handle opens the physical file that a file string names and converts
// its data as a format string says. Every call takes a trace buffer of at
// least XIO_TRACE_SIZE bytes whose first byte the caller has cleared; on
// failure the call leaves a zero-terminated trace there and sets errno.
// A handle is used by one thread at a time; different handles are
// independent, and every call may be made on several threads at once
// (each on its own handle): what the process keeps between calls (the
// compression workers, the identities of xioloadkeys, the scrypt results,
// the character sets' facts) is guarded inside. `state` and the strings
// are borrowed for the call only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct XioHandle;  // opaque
struct XioMemberState {
  std::string member;
  uint64_t bytesIn = 0, bytesOut = 0;
};
struct XioStateList {
  std::vector<XioMemberState> members;
};

// The age layer (encr.age(...), cnv[age(...)]) writes age v1 files that
// `age -d` reads, for the X25519 recipient of an identity file made by
// age-keygen (identity='path', a regular file that group and others cannot
// read) or for a passphrase through scrypt (passphrase='text' logn=n).
// - Key material never appears in a trace: a passphrase in a file string
//   shown there is replaced by ***. The inverse command of xiopclose does
//   carry the passphrase (it must open the file again): treat it, like the
//   file string, as a secret.
// - A tampered, truncated or extended file fails the read that meets the
//   damage with EIO; no byte of a chunk leaves the library before its tag
//   is checked. A key that opens no stanza fails with EACCES: at open where
//   age is the outer layer, else at the first read.
// - Cost: one X25519 per open with an identity; one scrypt per salt with a
//   passphrase (a large fraction of a second at logn 18), whose result the
//   process keeps for the following opens of the same file.
// - A chunk is sealed once it is known not to be the last, so up to 64 KiB
//   written before an xiopflush stay in memory until more data or the close.
//   Where age is the outer layer (the one on the file), xiopflush with
//   XIO_FLUSH_SYNC seals them as the last chunk, after the layers inside
//   flushed theirs (zstd inside age ends its frame), and fdatasyncs: the
//   file on disk is then a complete age file of everything written, which
//   `age -d` accepts. No chunk index is ever sealed twice under one key, so
//   the next xiopwrite writes the file again under a fresh file key and
//   nonce into a copy beside it (see the copies below) and goes on there:
//   a write after a sync flush costs a re-encryption of the file's chunks
//   (the layers inside age are not decoded again). Until the next sync
//   flush or the close puts that copy into the file, the file stays as the
//   sync flush left it, so a crash keeps everything synced. With a layer
//   outside age (age inside base64) the chunk stays in memory at a sync as
//   at any flush, and xiorecover keeps the sealed chunks.
// - Appending (offset above 0) never extends an age file in place: the old
//   data is read back through all the layers and written again, with a new
//   file key and nonce, into a copy beside the file, followed by the new
//   data. So an append costs a rewrite of the whole file. xiopopen opens
//   the old file for reading and writing and creates the copy, so an
//   append that cannot be made (the file not writable, the directory not
//   writable) fails there; a failure of a later write or of the close
//   removes the copy and leaves the file as it was (or as the last sync
//   flush made it).
// - The copies: ".vaskIndex.tmp.<name>.XXXXXX" in the file's directory
//   (<name> cut to its first 200 bytes), created with O_EXCL and mode 0600
//   (names the mount daemon hides). A sync flush or the close fdatasyncs
//   the copy, renames it to ".vaskIndex.tmp.<name>.XXXXXX.done-<inode>"
//   (<inode>: the file's inode number in decimal) and syncs the directory;
//   then writes its bytes into the file itself from offset 0, cuts the
//   file to its length, fdatasyncs it, removes the copy and syncs the
//   directory again. The file keeps its inode, owner, group, mode, ACLs,
//   extended attributes and hard links. A crash leaves either an
//   incomplete copy (the file untouched: remove the copy) or a ".done-"
//   copy (the file possibly half written): xiorecover on the file then
//   finishes the copy first.

// Opens a handle on the physical file that `fileString` names, converting
// as `formatString` says (null or "" is format.bin()).
// - Writing when `state` is not null: the state text
//   "state(file='logical' comment='...')", read during the call only.
//   Offset 0 creates or truncates the file; above 0 appends a new member,
//   frame or stream after what is there.
// - Reading when `state` is null; the offset is ignored.
// Names are relative to the working directory of the process. The strings
// are parsed and checked, and the converters set up, before the file is
// touched: a refused write leaves an existing file as it was.
// A symbolic link at the physical name is never followed (also by
// xiopsize): the call fails with ELOOP, and nothing is written through the
// link. A file the failing call created is removed.
// Returns a handle owned by the caller until xiopclose, or null with errno.
XioHandle* xiopopen(char* trace, const char* fileString, const char* formatString,
                    std::string* state /* null when reading */, int64_t offset);

// Reads up to `count` converted bytes at `offset`: the count read (short
// only at the end, 0 at or past the end) or -1 with errno. Forward reads
// decode and discard what lies between; a read below the block last decoded
// starts the stream over from the file's first byte, so its cost is that of
// decoding up to `offset` again. A file without layers or format is read at
// the offset directly, and always as it is now on disk. After damaged data
// the bytes decoded before the damage are returned, and the next read fails.
// Files with an index are read at the offset directly too, decoding only
// the frames or blocks the read covers: bin (or auto finding it) whose
// every layer is zstd with a seek table or frame headers that give their
// sizes, or xz with its index, in units of at most 8 MiB, or age (its
// 64 KiB chunks found by arithmetic), zstd inside age included. There a read
// that needs a damaged unit fails as a whole, and the units around it
// still read; an index that proves wrong hands the file to the stream.
int64_t xiopread(char* trace, XioHandle* h, void* buffer, size_t count, int64_t offset);

// Converts `count` bytes written at `offset`: returns `count` or -1 with
// errno. Writes are sequential: below the next expected offset fails with
// ESPIPE (and the stream goes on); above it the gap reads back as zero
// bytes (a hole in a file without layers). Output is held in blocks of
// about 1 MiB, so a failure to write (ENOSPC, EIO) may first show in a
// later xiopwrite, and at the latest in the next xiopflush or xiopclose.
// After such a failure every call on the handle fails.
int64_t xiopwrite(char* trace, XioHandle* h, const void* data, size_t count, int64_t offset);

// Writes out everything the pipeline can emit without ending the stream (a
// gzip sync flush, the gathered block, the pending text; bzip2 ends its
// stream and starts another, which its readers join) and reports any
// failure to write it. This is not a sync: the data may still be in the
// page cache; with XIO_FLUSH_SYNC it then fdatasyncs the physical file.
// Only the stream's end (a trailer, an index) is left for xiopclose.
// Flushing a read handle does nothing and returns 0.
constexpr int XIO_FLUSH_SYNC = 1;
int xiopflush(char* trace, XioHandle* h, int flags);

// Ends the stream (writing), closes the file and frees the handle, also
// when it fails. `states` (may be null) gets one member appended: for a
// write handle the logical name with the bytes written by the application
// and to the file; for a read handle the physical name, file bytes and
// bytes handed out. The inverse command is, for a write handle, the read
// command of the same physical file with its real name; for a read handle
// the write command that makes it again. Both are cleared first and stay
// empty when the close fails.
int xiopclose(char* trace, XioHandle* h, XioStateList* states,
              std::string* inverseCommand /* null: not wanted */,
              std::string* inverseFormat /* null: not wanted */);
void vdOrgLstStaFree(XioStateList* states);  // empties the list

// Ends the stream of a physical file whose writer died (a crash, kill -9) at
// the last point that decodes: what follows is cut off and the end its
// format needs is written (trailer, seek table, index, final chunk), so that
// the file reads back through xiopopen and passes its tool. `fileString` and
// `formatString` are the write command the file was written with (with the
// physical name in it). A file that is already complete is left as it is.
// Returns the number of converted (logical) bytes the file then holds, or -1
// with errno (trace filled); `inverseCommand`/`inverseFormat` (may be null)
// receive the read command as xiopclose would give it.
// - First, a durable copy that a writer died copying back into the file
//   (".vaskIndex.tmp.<name>.XXXXXX.done-<inode>" with the file's inode,
//   see the age layer above) is written into it, whatever the strings say.
// - How: the file is decoded through its layers and format as far as it
//   decodes, each layer handing on what it decoded of a prefix of its
//   input (age: only chunks whose tag checks, the last of them also when it
//   was not sealed as the last; gzip, zstd, xz, bzip2: what their decoders
//   give of a cut stream; base64 and hex: whole quanta; text and records:
//   whole characters and records). When every layer decodes to its end
//   (and an outer seekable zstd file has its seek table) the file is
//   complete and is not touched. Otherwise the decoded data is written
//   again with the write command into a copy beside the file, which then
//   goes into the file's own inode as the copies of an age append do (so
//   the file keeps its owner, mode and links; a crash during the copy-back
//   leaves the durable copy for the next xiorecover). So a recovery costs
//   a decode and an encode of the whole file; a failure removes the copy.
// - Everything a sync flush made durable is kept: a gzip sync flush, a
//   zstd frame, an xz block, a bzip2 block and an age chunk sealed at a
//   sync all decode.
// - A file with nothing that decodes (empty, or cut inside a header, or
//   ending in the zero bytes a crash leaves) becomes an empty stream of its
//   layers and 0 is returned. One that does not begin as files of its
//   layers begin (their magic, through the base64 and hex layers outside
//   it), whatever its length and zero tail, or whose data does not decode
//   as the strings describe it at all, is left as it is, with EIO. A key
//   that opens nothing fails with EACCES and changes nothing. A symbolic
//   link at the name fails with ELOOP; a file that is not regular with
//   EINVAL; a file the caller cannot write (or a directory where no copy
//   can be made), when it must be rewritten, with that error (EACCES).
// - Run it only while no one writes the file.
int64_t xiorecover(char* trace, const char* fileString, const char* formatString,
                   std::string* inverseCommand, std::string* inverseFormat);

// The converted size in bytes, or -1 with errno: the file size without
// layers or format; the size the file says where it does (the index read
// for random access, else what a single layer's file says: the zstd seek
// table or frame headers, the xz index, our gzip size subfield, the line
// arithmetic of base64 and hex in the layout written here); else found by
// decoding the whole file (constant memory, the codec's speed).
int64_t xiopsize(char* trace, const char* fileString, const char* formatString);

// Reads the identity file of each encr.age(identity='path') or
// cnv[age(identity='path')] layer of `fileString` now and keeps its keys
// for the process, so that later opens by a thread that may not read the
// file (a server running a request as its caller: EACCES or EPERM at the
// open) still find them. An open that can read the file reads it again,
// and a changed file replaces what is kept. Call it while the process can
// read the files (the mount daemon: at the start, as root). A string
// without such a layer does nothing. Returns 0, or -1 with errno (those of
// an open: ENOENT, EACCES for a file group or others may read, EINVAL for
// a malformed one or a string that does not parse).
int xioloadkeys(char* trace, const char* fileString);

// Makes the process's compression workers now: one per processor the
// process may run on, at most 8, shared by the gzip, zstd and xz writers of
// every handle (threads= caps how many one stream uses at once). A thread
// inherits the per-thread identity of the thread that makes it (fsuid,
// fsgid, supplementary groups): a server that runs requests as their
// callers calls this once before it serves (the mount daemon: at init,
// after it has daemonized, as itself), and from then on no xiobyt call
// makes a thread; a block handed over while no worker exists is compressed
// on the calling thread instead (the same bytes, slower). A process that
// never calls it gets its workers made as its writers first need them, on
// their threads. Returns the number of workers (at least 1), or -1 with
// errno EAGAIN or ENOMEM when none could be made; calling it again makes
// the workers still missing (a child of fork has none of its parent's).
int xiostartworkers(void);

// 1 when the strings convert nothing, so that the file may be used as a
// plain file at any offset: write.bin(...)/read.bin(...) without comp, encr
// or enc (output(...)/input(...) without cnv entries, fmt.bin() or no fmt)
// and a format string that is null, "" or format.bin(). 0 when anything
// converts (text, rec, auto, any layer, format.text). -1 with EINVAL when
// a string does not parse (the parser and tables of xiopopen).
int xioisplain(const char* fileString, const char* formatString);

// `fileString` with the text of each passphrase='...' replaced by ***, for
// logs. Null gives "".
std::string xiomask(const char* fileString);
const char* xiovsn();
const char* xioabo();
constexpr size_t XIO_TRACE_SIZE = 16384;
