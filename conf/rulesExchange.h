// vaskFSconf -E and -I: the rules of an index as text (rulesText.h) on
// standard output, and such a text stored into an index.
//
// Single-threaded, like the tool. Messages go to standard error.
#pragma once

#include <string>

// Prints the rules of the index in `indexDir` to standard output: its write
// and read rules and the read rules of every configured view (a
// subdirectory that holds data.mdb and lock.mdb), views in byte order of
// their names. With `view`, only that view's read rules. Nothing is
// printed unless everything could be read; nothing is created.
// Returns 0 or the error number of the failing step.
int exportRules(const std::string& indexDir, const char* view);

// Reads the text in `fileName` ("-": standard input) and makes every list it
// names hold exactly the rules it gives ([write], [read] into the index in
// `indexDir`, [view "name"] into that view's index, created when missing);
// lists it does not name keep their rules. With `view`, the text must hold
// one list, [read] or [view "any"], which goes to that view.
// Every rule's file and format string is checked first, as vaskFSconf
// checks one it sets; one failure changes nothing. Each index environment
// is changed in one transaction.
// Returns 0, -1 for a text that cannot be read, the syntax check's result
// for a rule that fails it, or the error number of the failing index step.
int importRules(const std::string& indexDir, const char* view, const char* fileName);
