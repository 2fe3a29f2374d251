// The records checked against the physical file, interrupted writes
// recovered and the writer lock that tells this and other processes that a
// file is being written. Called under the file's lock (recovery and
// validation write records; the writer lock's table has a leaf mutex).
#pragma once

#include <string>
#include <string_view>

#include "handle.h"

// Whether this daemon has a file open in `dir` (a root-relative directory,
// "." for the root): a conversion's copy or a removed open file may lie
// there under a temporary name.
bool conversionInDirectory(std::string_view dir);
// Removes `name` in the directory `dirFd` (root-relative `dirName`) when it
// is a regular file with the shape of a temporary copy that the daemon or
// xiobyt makes (".vaskIndex.tmp.<name>.XXXXXX") and no conversion of this
// daemon is open in that directory: a leftover of a crash. Called for the
// names a listing skips, so a leftover goes the next time its directory is
// listed; whether it was removed.
bool removeLeftoverCopy(int dirFd, const std::string& dirName, const char* name);
// Removes the leftover copies of `physical` beside it.
void removeLeftoverCopies(const std::string& physical);
// Ends the stream of `logical`'s physical file when a writer died while it
// was open (its stamps still the zero ones of the start of a conversion,
// no writer of this daemon on it) and sets its records from what it then
// holds; the getattr and open of a name call it first. Whether it did.
bool recoverInterrupted(const std::string& logical);

// Checks the records of `logical` against its physical file before a
// lookup or open uses them: a file whose writer died is recovered, and one
// that another program changed (its identity differs from the stored one,
// or none is stored yet) gets its attributes and converted size derived
// again with its stored read command. Nothing is written while a writer of
// this or another process holds the file, or when nothing changed.
void validateRecords(const std::string& logical);

// The writer lock: an open file description write lock on the physical
// file, held from the start of a write conversion until its end is
// recorded, so that no other daemon (a second mount of the root, a view)
// recovers the file or overwrites its records meanwhile. The handles of one
// file in this daemon share one lock. takeWriterLock: 0 (also when the file
// does not exist yet: call it again once it does) or -EBUSY when another
// process writes the file.
int takeWriterLock(FileHandle& h);
void dropWriterLock(FileHandle& h);
// Whether any open file description (this daemon's writers included) holds
// a lock on `physical`: somebody writes it.
bool writerLockHeld(const std::string& physical);
