#include "core/internal/json_reader.hpp"
