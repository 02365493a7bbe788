#include "py.hpp"
#include "units.hpp"

bool addWidgets() { return true; }
