#include "core/internal/base64url.hpp"
