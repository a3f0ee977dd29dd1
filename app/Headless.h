#pragma once
// The program without its window, for scheduled and remote runs: the check pass alone or
// a whole maintenance run on a folder, the protocol on standard output.
#include "support/Env.h"

// Exit codes: 0 no protocol entry failed, 1 some entry failed, 2 an unexpected error or
// bad arguments. Its files, clock and waits are those of `env`.
int RunHeadless(int argc, char** argv, k5::Env& env);

// The usage text (Russian), for --help and for arguments that are not understood.
const char* HeadlessUsage();

// True when the arguments ask for the headless mode (--batch or --help).
bool WantsHeadless(int argc, char** argv);
