#include "core/hex.hpp"
