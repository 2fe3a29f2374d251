// The argument tables of the file strings, format strings and the state
// text. Static data, safe to share between threads.
#pragma once

#include "corekit/clp/clp.h"

// READ and WRITE overlays: choice tables (bin, text, rec, and auto for READ).
extern const ClpArg asClpOrgRedPar[];
extern const ClpArg asClpOrgWrtPar[];
// INPUT and OUTPUT objects: argument tables (file, cnv[...], fmt.choice(...)).
extern const ClpArg asClpZulInpPar[];
extern const ClpArg asClpZulOutPar[];
// FORMAT overlays: asClpWrtFmtPar serves the read direction, asClpRedFmtPar
// the write direction (each names the side the application is on).
extern const ClpArg asClpWrtFmtPar[];
extern const ClpArg asClpRedFmtPar[];
// The state text: object with file='logical name' and comment='text'.
extern const ClpArg asClpStatePar[];
