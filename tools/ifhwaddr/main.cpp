// The installed program: the real paths, no arguments.
#include "ifhwaddr.h"

int main() { return ifhwaddr::run(ifhwaddr::Files{}); }
