#pragma once
// The Env of the program's headless runs. Each executable links one definition: the
// installed program the system's (app/ProgramEnv.cpp), the test build of the program one
// that injects the faults its environment asks for.
#include "support/Env.h"

k5::Env& ProgramEnv();
