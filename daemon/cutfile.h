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
