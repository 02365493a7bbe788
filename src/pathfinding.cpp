#include "py.hpp"
#include "units.hpp"

bool addPathFinding() { return true; }
