// Kept for the units that still include it by this name; platform.hpp holds it all.
#pragma once
#include "platform.hpp"
