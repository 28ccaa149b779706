#include "core/audit.hpp"
