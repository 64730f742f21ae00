// The command-line re-evaluation of stored transmittance packets: no window, no
// network, one repository record "CtCl" per stored "<serial>_atst.bin".
#pragma once

#include <cstdio>
#include <string>

namespace lumbrel {

// Re-evaluates every stored packet of `inputFolder` in listing order into
// "<logRoot>/CtCl_Path/<serial>_CtCl.bin", printing each file's name and the
// totals to `out`. A packet that cannot be evaluated is reported and skipped.
// 0, or 1 (told on `err`) when the input folder cannot be read or the output
// folder cannot be made.
int postprocessFolder(const std::string& inputFolder, const std::string& logRoot, FILE* out, FILE* err);

}  // namespace lumbrel
