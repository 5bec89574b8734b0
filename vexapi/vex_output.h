// Reading the output files of the cluster manager's tools: bounded lines and the status parse.
#pragma once

#include <stdint.h>
#include <stdio.h>

namespace vex {

inline constexpr int kOutputLineSize = 1024;

// Reads the next line of FILE into LINE (SIZE bytes) without its line end (LF or CR LF). A
// line longer than the room is cut and the rest of it skipped, so that a cut never turns into
// a line of its own. false at the end of the file.
bool readOutputLine(FILE *file, char *line, size_t size);

// This server's cluster state from the status tool's output: kStateStarted when the line of
// the cluster named by the "Cluster : " line shows "Start" after its colon, else kStateDefault.
uint32_t parseServerStatus(FILE *file);

}  // namespace vex
