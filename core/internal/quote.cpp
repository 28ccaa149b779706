#include "core/internal/quote.hpp"
