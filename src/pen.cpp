#include "py.hpp"
#include "units.hpp"

bool addPen() { return true; }
