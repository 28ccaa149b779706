#include "core/issuer.hpp"
