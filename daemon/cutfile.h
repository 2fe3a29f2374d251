// Converted files whose writer died somewhere else: on another host that
// shares the root, or a program that never told this daemon it wrote.
#pragma once

#include <string>

// Ends the stream of `physical`, the file the write rule in force makes of
// `logical`, when it does not decode to its end and no process anywhere
// holds its writer lock: it was cut off. Holds that lock itself meanwhile,
// so that neither a writer nor another host's recovery comes between.
// Whether it decodes to its end now (ended here, or found whole and left
// as it is).
bool recoverCutFile(const std::string& logical, const std::string& physical);

// Makes `physical` as an empty file (mode 0600, as the conversion would)
// when it is not there and `fileString` writes exactly it, so that a writer locks it before the
// conversion writes its first byte: another host then meets no file, an empty one or a locked one,
// never a stream begun without its lock, which it would take for one cut off. Whether it made it.
bool makeToLock(const std::string& physical, const std::string& fileString);
// Removes what makeToLock made when the conversion could not start on it.
void unmakeToLock(const std::string& physical);
