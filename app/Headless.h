#pragma once
// The program without its window, for scheduled and remote runs: the check pass alone or
// a whole maintenance run on a folder, the protocol on standard output.
#include "app/headless/HeadlessArgs.h"

// Exit codes: 0 no protocol entry failed, 1 some entry failed, 2 an unexpected error or
// bad arguments.
int RunHeadless(int argc, char** argv);
