#include "app/ProgramEnv.h"

k5::Env& ProgramEnv() {
    return k5::Env::Default();
}
