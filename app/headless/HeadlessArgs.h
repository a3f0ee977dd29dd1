#pragma once
// The headless front end's command line: the usage text and the parser.
#include "maintenance/Context.h"

#include <optional>
#include <string>

namespace k5 {

struct HeadlessFlags {
    bool batch = false;
    bool help = false;
    bool checkOnly = false;
    std::optional<std::string> folder;
    std::string limit = "0";
    FixedRunOptions options; // the folder and the limit as the window's fields would hold them
};

// Nothing when the arguments are not understood; `error` then says why (one line).
std::optional<HeadlessFlags> ParseFlags(int argc, const char* const* argv, std::string& error);

} // namespace k5

// The usage text (Russian), for --help and for arguments that are not understood.
const char* HeadlessUsage();

// True when the arguments ask for the headless mode (--batch or --help).
bool WantsHeadless(int argc, char** argv);
