#include "app/Headless.h"
#include "app/ProgramEnv.h"
#include "app/WindowMain.h"

int main(int argc, char** argv) {
    if (WantsHeadless(argc, argv)) return RunHeadless(argc, argv, ProgramEnv());
    return RunWindow(argc, argv);
}
