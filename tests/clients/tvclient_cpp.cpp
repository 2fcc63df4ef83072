// The C test client's source, compiled as C++: both languages must build
// against the one declaration in <talvex/state.h>.
#define TVCLIENT_NAME tvclient_cpp
#include "tvclient.c"
