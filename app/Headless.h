#pragma once
// The program without its window, for scheduled and remote runs: the check pass alone or
// a whole maintenance run on a folder, the protocol on standard output.

// Exit codes: 0 no protocol entry failed, 1 some entry failed, 2 an unexpected error or
// bad arguments.
int RunHeadless(int argc, char** argv);

// The usage text (Russian), for --help and for arguments that are not understood.
const char* HeadlessUsage();

// True when the arguments ask for the headless mode (--batch or --help).
bool WantsHeadless(int argc, char** argv);
