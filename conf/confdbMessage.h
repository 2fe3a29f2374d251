// Internal to confdb: formats one message line and hands it to the sink
// installed by setConfdbMessageSink.
#pragma once

// level 1: a failure; level 2: a warning.
void confdbReport(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
