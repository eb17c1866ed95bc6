// The exports of the planted DLL, written by make-planted-exports.py: export i jumps through
// korvane_planted_slots[i], which the DLL fills from the genuine DLL when it is loaded. The slots
// are the one thing the loaded copy changes; they stay as filled until it is unloaded.
#pragma once

extern "C" void* korvane_planted_slots[];
extern const char* const kPlantedExports[];
extern const unsigned kPlantedExportCount;
