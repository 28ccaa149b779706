#include "core/error.hpp"
