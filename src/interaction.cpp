#include "py.hpp"
#include "units.hpp"

bool addInteraction() { return true; }
