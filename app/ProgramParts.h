// What the program's window runs its downloads with, made from the settings that the program was
// built with: the system's transport, trusting the build's authority; the check of the maker's
// signature that the build names; the TLS libraries that the build carries. The program's main
// makes them, and so do the tests of the window it runs.
#pragma once

#include "download/DownloadParts.h"

namespace korvane {

TDownloadParts ProgramParts();

}  // namespace korvane
