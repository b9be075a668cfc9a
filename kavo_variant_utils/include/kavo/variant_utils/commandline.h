#pragma once
// Command-line model: a program declares its options into a definitions tree, parses its argument
// vector into a result tree, and reads the result by key chain ("parameters/<longName>").
//
// Definitions tree: "byShortName" (records keyed by the short name's code 0..255, a numeric key),
// "byLongName" (records keyed by the long name) and "all" (records in declaration order). A record
// holds "longName" (string), "shortName" (Int8), "description" (string) and "defaultValue".
//
// Result tree: "parameters" (one entry per given option, by long name; absent when none was
// given), "unknownParameters" (every refused argument as given, in order) and "commandLine"
// ("executed": argv[0]; "fullPath": its absolute path, "" when it cannot be resolved).
//
// A value after "=" is typed: a number when it is made only of 0-9, a-f, A-F, x, "+", "-", "."
// and converts completely (with "." by strtod: Int64 when integral, else Double; without "." by
// strtoll in base 0: Int64 when it starts with "-", else UInt64); a number that does not fit 64
// bits, and everything else, is kept as the string. An empty value stores the default.
// Arguments "--" and "--=..." (an empty long name) are unknown, as are long names holding "/".
#include "kavo/variant/variant.h"

namespace kavo {
namespace variant {

void AddParameter(Variant& definitions, char shortName, const char* longName, const char* description,
                  const Variant& defaultValue);

// Parses argv[1..argc-1] into result (adding to it, clearing nothing). Unknown arguments are
// logged at level 4 ("unknown parameter detected: `%s`") and listed; parsing never stops.
void ParseCommandLine(int argc, const char** argv, Variant& definitions, Variant& result);
inline void ParseCommandLine(int argc, char** argv, Variant& definitions, Variant& result) {
  ParseCommandLine(argc, const_cast<const char**>(argv), definitions, result);
}

// Prints "<program> <option>[=<value>]", one line per option in declaration order, then an empty
// line, to standard output.
void PrintHelp(const char* programName, Variant& definitions);

}  // namespace variant
}  // namespace kavo
