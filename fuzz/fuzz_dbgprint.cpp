// The fuzz build links the image-processing library alone: its debug lines go nowhere.
#include <cstdarg>

extern "C" unsigned int DbgPrint(const char *, ...) { return 0; }
