#pragma once
// The program without its window, for scheduled and remote runs: the check pass alone or
// a whole maintenance run on a folder, the protocol on standard output.
#include "app/headless/HeadlessArgs.h"
#include "support/Env.h"

// Exit codes: 0 no protocol entry failed, 1 some entry failed, 2 an unexpected error or
// bad arguments. Its files, clock and waits are those of `env`.
int RunHeadless(int argc, char** argv, k5::Env& env);
