#include "core/caveat_dsl.hpp"
