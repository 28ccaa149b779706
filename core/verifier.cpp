#include "core/verifier.hpp"
