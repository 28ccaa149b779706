#include "core/internal/crypto.hpp"
