#include "core/context.hpp"
