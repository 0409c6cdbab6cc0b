// The installed program: the real paths and clocks.
#include "sidemon.h"

int main(int argc, char** argv) { return sidemon::run(argc, argv, sidemon::Env{}); }
