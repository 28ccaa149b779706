#include "core/capability.hpp"
